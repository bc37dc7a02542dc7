#include "platform/windows/win32_tool_folder.h"

#include <aclapi.h>
#include <sddl.h>
#include <winternl.h>

#include <optional>
#include <string_view>
#include <vector>

#include "platform/tool_folder.h"
#include "platform/windows/win32_handle.h"
#include "platform/windows/win32_process.h"

namespace tavrin {
namespace {

constexpr std::wstring_view kLevels = L"\\Norvane\\Wickline\\";
// Owners of a folder an elevated run may write into.
constexpr const wchar_t* kTrustedInstaller =
    L"S-1-5-80-956008885-3418522649-1831038044-1850769356-2131514012";
// The result file of an elevated run: full access for Administrators and
// SYSTEM, nothing inherited, nobody else.
constexpr const wchar_t* kAdminsOnly = L"D:P(A;;FA;;;BA)(A;;FA;;;SY)";

CreateFailure failureOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return CreateFailure::NameTaken;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DIRECTORY:
      return CreateFailure::FolderMissing;
    case ERROR_ACCESS_DENIED:
      return CreateFailure::AccessDenied;
    default:
      return CreateFailure::Other;
  }
}


bool ownerTrusted(HANDLE folder) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                      nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  bool trusted = IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
                 IsWellKnownSid(owner, WinLocalSystemSid);
  PSID installer = nullptr;
  if (!trusted && ConvertStringSidToSidW(kTrustedInstaller, &installer)) {
    trusted = EqualSid(owner, installer) != 0;
    LocalFree(installer);
  }
  LocalFree(descriptor);
  return trusted;
}

// Opens or creates `name` in the folder open as `root`, so whatever the path
// of that folder now leads to does not matter. Opened folders are shared
// with everyone; a created file only with readers (a person or a script
// watching it grow), never with writers or deletion.
HANDLE openRelative(HANDLE root, std::wstring_view name, ACCESS_MASK access, ULONG attributes,
                    ULONG disposition, ULONG options, PSECURITY_DESCRIPTOR security,
                    CreateFailure& failure) {
  UNICODE_STRING unicode{};
  unicode.Buffer = const_cast<PWSTR>(name.data());
  unicode.Length = unicode.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  OBJECT_ATTRIBUTES object{};
  InitializeObjectAttributes(&object, &unicode, OBJ_CASE_INSENSITIVE, root, security);
  IO_STATUS_BLOCK status{};
  HANDLE handle = nullptr;
  const NTSTATUS result = NtCreateFile(
      &handle, access | SYNCHRONIZE, &object, &status, nullptr, attributes,
      disposition == FILE_CREATE ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      disposition, options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (result < 0) {
    failure = failureOf(RtlNtStatusToDosError(result));
    return INVALID_HANDLE_VALUE;
  }
  failure = CreateFailure::None;
  return handle;
}

// Wine opens the target of a link even when asked for the link itself, and
// makes the user the owner of every file (and every process elevated).
// There the path's word tells a link, and owners and access lists tell
// nothing.

// The facts about an open level of the tool folder, found at `path`.
FolderFacts factsOf(HANDLE folder, const std::wstring& path, bool elevatedRun) {
  FolderFacts facts;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(folder, &info)) {
    facts.openFailure = CreateFailure::Other;
  } else if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    facts.openFailure = CreateFailure::FolderMissing;
  } else {
    // The path's word as well: the same answer on Windows, the only
    // one that shows a link under Wine.
    const DWORD byPath = GetFileAttributesW(path.c_str());
    facts.reparsePoint =
        ((info.dwFileAttributes | (byPath == INVALID_FILE_ATTRIBUTES ? 0 : byPath)) &
         FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    // Asked only where it counts.
    facts.trustedOwner = elevatedRun && (runningUnderWine() || ownerTrusted(folder));
  }
  return facts;
}

// The access list of `folder`, or nothing when it cannot be read.
std::optional<AccessList> readAccessList(HANDLE folder) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(folder, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                      nullptr, &descriptor) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  AccessList list;
  list.present = dacl != nullptr;
  for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
    void* raw = nullptr;
    if (!GetAce(dacl, i, &raw)) continue;
    const auto* header = static_cast<const ACE_HEADER*>(raw);
    // The plain allow and deny entries carry the mask and the SID alike;
    // object and callback entries do not apply to a folder's files.
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_DENIED_ACE_TYPE) {
      continue;
    }
    const auto* ace = static_cast<const ACCESS_ALLOWED_ACE*>(raw);
    wchar_t* sid = nullptr;
    if (!ConvertSidToStringSidW(const_cast<DWORD*>(&ace->SidStart), &sid)) continue;
    list.entries.push_back(AccessEntry{header->AceType == ACCESS_ALLOWED_ACE_TYPE, sid, ace->Mask,
                                       (header->AceFlags & INHERIT_ONLY_ACE) != 0});
    LocalFree(sid);
  }
  LocalFree(descriptor);
  return list;
}

HANDLE createInToolFolder(const std::wstring& base, std::wstring_view name,
                          CreateFailure& failure, std::wstring& warning) {
  const bool elevatedRun = elevated();
  std::vector<FolderFacts> levels;
  // Norvane by its path, opened as itself; Wickline relative to it.
  const std::wstring norvanePath = base + L"\\Norvane";
  HANDLE norvane =
      CreateFileW(norvanePath.c_str(), FILE_READ_ATTRIBUTES | READ_CONTROL,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  const FileHandle ownedNorvane(norvane);
  if (norvane == INVALID_HANDLE_VALUE) {
    levels.push_back(FolderFacts{failureOf(GetLastError())});
  } else {
    levels.push_back(factsOf(norvane, norvanePath, elevatedRun));
  }
  HANDLE wickline = INVALID_HANDLE_VALUE;
  if (levels.back().openFailure == CreateFailure::None && !levels.back().reparsePoint) {
    FolderFacts facts;
    wickline = openRelative(
        norvane, L"Wickline", FILE_READ_ATTRIBUTES | READ_CONTROL | FILE_TRAVERSE, 0, FILE_OPEN,
        FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT, nullptr,
        facts.openFailure);
    levels.push_back(wickline == INVALID_HANDLE_VALUE
                         ? facts
                         : factsOf(wickline, norvanePath + L"\\Wickline", elevatedRun));
  }
  const FileHandle ownedWickline(wickline);
  failure = judgeToolFolder(levels, elevatedRun);
  if (failure != CreateFailure::None) return INVALID_HANDLE_VALUE;

  PSECURITY_DESCRIPTOR security = nullptr;
  if (elevatedRun && !ConvertStringSecurityDescriptorToSecurityDescriptorW(
                         kAdminsOnly, SDDL_REVISION_1, &security, nullptr)) {
    failure = CreateFailure::Other;
    return INVALID_HANDLE_VALUE;
  }
  // FILE_CREATE: an existing name, a link included, is never opened.
  HANDLE file = openRelative(wickline, name, GENERIC_WRITE, FILE_ATTRIBUTE_NORMAL, FILE_CREATE,
                             FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, security, failure);
  if (security) LocalFree(security);
  // Said, not refused: the folder is the administrator's own.
  if (file != INVALID_HANDLE_VALUE && elevatedRun && !runningUnderWine()) {
    const std::optional<AccessList> list = readAccessList(wickline);
    if (list && othersMayAdd(*list)) warning = openToolFolderWarning(norvanePath + L"\\Wickline");
  }
  return file;
}

}  // namespace

HANDLE createResultHandle(const std::wstring& path, CreateFailure& failure, std::wstring& warning) {
  const size_t at = path.rfind(kLevels);
  if (at != std::wstring::npos && at > 0 &&
      path.find(L'\\', at + kLevels.size()) == std::wstring::npos &&
      path.size() > at + kLevels.size()) {
    return createInToolFolder(path.substr(0, at),
                              std::wstring_view(path).substr(at + kLevels.size()), failure,
                              warning);
  }
  // Elsewhere (no application-data folder: a bare name in the current
  // folder): CREATE_NEW, so an existing name is never truncated or written
  // through. Readers may watch it grow; nobody else may write or delete it.
  HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  failure = handle == INVALID_HANDLE_VALUE ? failureOf(GetLastError()) : CreateFailure::None;
  return handle;
}

bool elevated() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  const FileHandle owned(token);
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  return GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
         elevation.TokenIsElevated != 0;
}

}  // namespace tavrin
