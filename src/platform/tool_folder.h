// Whether the folders that receive result files may be written to. Any user
// may create folders under the machine-wide application-data folder, and
// the creator owns them: a folder prepared by someone else, or a link to
// somewhere else, would let that person choose where an administrator's
// results go and read them. The platform gathers the facts; this decides.
#pragma once

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

}  // namespace tavrin
