#include "scan_job.h"

namespace tavrin {

void ScanJob::addFixedDrives() {
  for (std::wstring& root : platform_.logicalDriveStrings()) {
    if (platform_.getDriveType(root) == DRIVE_FIXED) roots_.push_back(std::move(root));
  }
}

void ScanJob::visitRoots() {
  std::wstring path;
  for (const std::wstring& root : roots_) {
    // An empty argument names nothing; it must not become the drive's root.
    if (root.empty()) continue;
    const uint32_t attributes = platform_.getFileAttributes(root);
    path = root;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) && (modeFlags_ & MODE_PATHS)) {
      applyRule(path);
    } else {
      walkDirectory(path);
    }
  }
}

namespace {

bool isDotName(const std::wstring& name) {
  return name == L"." || name == L"..";
}

}  // namespace

// Depth first, in the order the listing returns entries: a subdirectory's
// whole tree is handled when it is met. Directories that are reparse points
// (junctions, mount points, links) are never entered, so the walk cannot loop.
void ScanJob::walkDirectory(std::wstring& directoryPath) {
  const wchar_t sep = platform_.separator();
  const size_t directoryLength = directoryPath.size();
  if (directoryLength == 0 || directoryPath.back() != sep) directoryPath += sep;
  const size_t childStart = directoryPath.size();
  directoryPath += L'*';

  FindEntry entry;
  std::unique_ptr<DirectorySearch> search = platform_.findFirstFile(directoryPath, entry);
  if (search) {
    do {
      const bool isDirectory = (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      if (isDirectory &&
          ((entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) || isDotName(entry.name))) {
        continue;
      }
      directoryPath.resize(childStart);
      directoryPath += entry.name;
      if (isDirectory) {
        walkDirectory(directoryPath);
      } else {
        applyRule(directoryPath);
      }
    } while (search->next(entry));
  }
  directoryPath.resize(directoryLength);
}

}  // namespace tavrin
