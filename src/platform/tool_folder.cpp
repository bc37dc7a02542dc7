#include "platform/tool_folder.h"

#include <algorithm>
#include <map>
#include <string_view>

namespace tavrin {
namespace {

// Accounts that may do anything to the tool folder anyway.
constexpr std::wstring_view ADMINISTRATORS[] = {
    L"S-1-5-32-544",  // Administrators
    L"S-1-5-18",      // SYSTEM
    L"S-1-5-80-956008885-3418522649-1831038044-1850769356-2131514012",  // TrustedInstaller
    // Stand-ins that are replaced when the rights are inherited, and the
    // owner, whom an elevated run has checked already.
    L"S-1-3-0",  // CREATOR OWNER
    L"S-1-3-1",  // CREATOR GROUP
    L"S-1-3-4",  // OWNER RIGHTS
};

// Rights that add a file or a folder, or lead to them: changing the list or
// the owner. The generic rights stand for them in the ways files map them.
constexpr uint32_t ADD_FILE = 0x2;
constexpr uint32_t ADD_SUBDIRECTORY = 0x4;
constexpr uint32_t WRITE_DAC = 0x40000;
constexpr uint32_t WRITE_OWNER = 0x80000;
constexpr uint32_t GENERIC_ALL = 0x10000000;
constexpr uint32_t GENERIC_WRITE = 0x40000000;
constexpr uint32_t ADDING = ADD_FILE | ADD_SUBDIRECTORY | WRITE_DAC | WRITE_OWNER;

uint32_t addingRights(uint32_t rights) {
  if (rights & GENERIC_ALL) rights |= ADDING;
  if (rights & GENERIC_WRITE) rights |= ADD_FILE | ADD_SUBDIRECTORY;
  return rights & ADDING;
}

bool isAdministrator(const std::wstring& trustee) {
  return std::find(std::begin(ADMINISTRATORS), std::end(ADMINISTRATORS), trustee) !=
         std::end(ADMINISTRATORS);
}

}  // namespace

CreateFailure judgeToolFolder(const std::vector<FolderFacts>& levels, bool elevated) {
  if (levels.empty()) return CreateFailure::FolderMissing;
  for (const FolderFacts& level : levels) {
    if (level.openFailure != CreateFailure::None) return level.openFailure;
    if (level.reparsePoint || (elevated && !level.trustedOwner)) {
      return CreateFailure::FolderNotTrusted;
    }
  }
  return CreateFailure::None;
}

// The entries are weighed in order, as the system checks them: what a deny
// entry refused a trustee, a later allow entry no longer gives it.
bool othersMayAdd(const AccessList& list) {
  if (!list.present) return true;
  std::map<std::wstring, uint32_t> denied;
  for (const AccessEntry& entry : list.entries) {
    if (entry.inheritOnly || isAdministrator(entry.trustee)) continue;
    const uint32_t rights = addingRights(entry.rights);
    if (!entry.allows) {
      denied[entry.trustee] |= rights;
    } else if ((rights & ~denied[entry.trustee]) != 0) {
      return true;
    }
  }
  return false;
}

std::wstring lockToolFolderCommand(const std::wstring& folder) {
  return L"icacls \"" + folder +
         L"\" /inheritance:r /grant:r \"*S-1-5-32-544:(OI)(CI)F\" \"*S-1-5-18:(OI)(CI)F\" "
         L"\"*S-1-5-32-545:(OI)(CI)RX\"";
}

std::wstring openToolFolderWarning(const std::wstring& folder) {
  return L"the tool folder " + folder +
         L" lets users who are not administrators add files and folders to it, so they could plant "
         L"look-alike result files; leave it to administrators (users may still read) with: " +
         lockToolFolderCommand(folder);
}

// A bare mkdir inherits an access list that lets every user add files: the
// access list is part of making the folder.
std::wstring makeToolFolderCommand(const std::wstring& folder) {
  return L"mkdir \"" + folder + L"\" && " + lockToolFolderCommand(folder) +
         L" (in a command prompt run as administrator)";
}

}  // namespace tavrin
