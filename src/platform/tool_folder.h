// Whether the folders that receive result files may be written to. Any user
// may create folders under the machine-wide application-data folder, and
// the creator owns them: a folder prepared by someone else, or a link to
// somewhere else, would let that person choose where an administrator's
// results go and read them. The platform gathers the facts; this decides.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace tavrin {

// What the platform found out about one level of the tool folder.
struct FolderFacts {
  CreateFailure openFailure = CreateFailure::None;  // why it could not be opened
  bool reparsePoint = false;                        // a link, junction or other reparse point
  bool trustedOwner = false;  // Administrators, SYSTEM or TrustedInstaller own it
};

// The verdict on the levels from the application-data folder down (Norvane,
// then Wickline), gathered until the first that fails: None when the result
// file may be created in the last. A reparse point is never trusted; a
// foreign owner matters only when the run is elevated.
CreateFailure judgeToolFolder(const std::vector<FolderFacts>& levels, bool elevated);

// One entry of a folder's access list, as the platform read it.
struct AccessEntry {
  bool allows = true;        // false: a deny entry
  std::wstring trustee;      // the account or group, as a SID string ("S-1-5-32-545")
  uint32_t rights = 0;       // the access mask
  bool inheritOnly = false;  // it applies only to what is created inside
};

// A folder's access list, its entries in order.
struct AccessList {
  bool present = true;  // false: the folder has none, which lets everyone do anything
  std::vector<AccessEntry> entries;
};

// True when `list` lets anyone but Administrators, SYSTEM and
// TrustedInstaller add files or folders to the folder, or change who may.
// An elevated `mkdir` under the application-data folder inherits such a
// list: every user may add files and folders there.
bool othersMayAdd(const AccessList& list);

// The command that leaves the tool folder `folder` to administrators and
// SYSTEM, users reading only: the access list the installer gives it.
std::wstring lockToolFolderCommand(const std::wstring& folder);

// What an elevated run says of a tool folder where othersMayAdd: the risk,
// and the command that leaves it to administrators (users may still read).
std::wstring openToolFolderWarning(const std::wstring& folder);

// The commands that make a missing tool folder as the installer makes it:
// the folder, then its access list, in a command prompt run as administrator.
std::wstring makeToolFolderCommand(const std::wstring& folder);

}  // namespace tavrin
