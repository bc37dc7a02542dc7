#include "scan_job.h"

namespace tavrin {
namespace {

// How many of the folders that could not be listed a run keeps by name.
constexpr size_t UNLISTED_NAMED = 5;

}  // namespace

void ScanJob::addFixedDrives() {
  for (std::wstring& root : platform_.logicalDriveStrings()) {
    if (platform_.getDriveType(root) == DRIVE_FIXED) roots_.push_back(std::move(root));
  }
}

void ScanJob::visitRoots() {
  std::wstring& path = walkPath_;
  for (const std::wstring& root : roots_) {
    // An empty argument names nothing; it must not become the drive's root.
    if (root.empty()) continue;
    if (!betweenEntries()) return;
    const uint32_t attributes = platform_.getFileAttributes(root);
    path = root;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) && (modeFlags_ & MODE_PATHS)) {
      if (applyRule(path) != 0) counts_.unreadableRoots.push_back(root);
    } else if (!walkDirectory(path)) {
      if (modeFlags_ & MODE_PATHS) {
        counts_.unreadableRoots.push_back(root);
      } else {
        noteUnlistedFolder(root);
      }
    }
    if (interrupted_) return;
    path.clear();  // between roots the walk is in no folder
  }
}

void ScanJob::noteUnlistedFolder(const std::wstring& path) {
  ++counts_.unlistedFolders;
  if (counts_.firstUnlistedFolders.size() < UNLISTED_NAMED) {
    counts_.firstUnlistedFolders.push_back(path);
  }
}

namespace {

bool isDotName(const std::wstring& name) {
  return name == L"." || name == L"..";
}

}  // namespace

// Depth first, in the order the listing returns entries: a subdirectory's
// whole tree is handled when it is met. Directories that stand for another
// place (junctions, mount points, links) are never entered, so the walk
// cannot loop; other reparse points (cloud folders) are walked.
bool ScanJob::walkDirectory(std::wstring& directoryPath) {
  const wchar_t sep = platform_.separator();
  const size_t directoryLength = directoryPath.size();
  if (directoryLength == 0 || directoryPath.back() != sep) directoryPath += sep;
  const size_t childStart = directoryPath.size();
  directoryPath += L'*';

  FindEntry entry;
  std::unique_ptr<DirectorySearch> search = platform_.findFirstFile(directoryPath, entry);
  const bool listed = search || entry.attributes != INVALID_FILE_ATTRIBUTES;
  if (search) {
    do {
      if (!betweenEntries()) break;
      const bool isDirectory = (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      if (isDirectory && (((entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) && entry.nameSurrogate) ||
                          isDotName(entry.name))) {
        continue;
      }
      directoryPath.resize(childStart);
      directoryPath += entry.name;
      if (isDirectory) {
        if (!walkDirectory(directoryPath)) noteUnlistedFolder(directoryPath);
        if (interrupted_) break;
      } else {
        applyRule(directoryPath);
      }
    } while (search->next(entry));
  }
  directoryPath.resize(directoryLength);
  return listed;
}

}  // namespace tavrin
