#include "platform/tool_folder.h"

namespace tavrin {

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

}  // namespace tavrin
