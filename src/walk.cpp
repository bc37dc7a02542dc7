#include <algorithm>

#include "scan_job.h"

namespace tavrin {
namespace {

// How many of the folders that could not be listed a run keeps by name.
constexpr size_t UNLISTED_NAMED = 5;

// True when `path` lies on the drive whose root is `root` ("C:\\"). Drive
// letters may come in either case.
bool isOnDrive(const std::wstring& path, const std::wstring& root, wchar_t sep) {
  const size_t base = !root.empty() && root.back() == sep ? root.size() - 1 : root.size();
  if (base == 0 || path.size() < base || (path.size() > base && path[base] != sep)) return false;
  const auto fold = [](wchar_t c) {
    return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c;
  };
  for (size_t i = 0; i < base; ++i) {
    if (fold(path[i]) != fold(root[i])) return false;
  }
  return true;
}

}  // namespace

// Each volume once: a drive that substitutes a folder of another fixed drive
// is walked there already, and a volume with two roots is walked at the first.
void ScanJob::addFixedDrives() {
  std::vector<std::wstring> fixed;
  for (std::wstring& root : platform_.logicalDriveStrings()) {
    if (platform_.getDriveType(root) == DRIVE_FIXED) fixed.push_back(std::move(root));
  }
  const wchar_t sep = platform_.separator();
  std::vector<std::wstring> volumes;
  for (const std::wstring& root : fixed) {
    if (const std::optional<std::wstring> folder = platform_.substitutedFolder(root)) {
      const auto holds = [&](const std::wstring& other) {
        return other != root && isOnDrive(*folder, other, sep);
      };
      if (std::any_of(fixed.begin(), fixed.end(), holds)) continue;
    }
    if (const std::optional<std::wstring> volume = platform_.volumeName(root)) {
      if (std::find(volumes.begin(), volumes.end(), *volume) != volumes.end()) continue;
      volumes.push_back(*volume);
    }
    roots_.push_back(root);  // copied: `holds` still looks at every fixed root
  }
}

void ScanJob::visitRoots() {
  if (roots_.empty() && (modeFlags_ & MODE_FIXED_DRIVES)) {
    counts_.nothingToScan = true;
    reportError(platform_.noVolumesMessage());
    return;
  }
  std::wstring& path = walkPath_;
  for (const std::wstring& root : roots_) {
    if (!betweenEntries()) return;
    // An empty argument names nothing; it must not become the drive's root.
    if (root.empty()) {
      counts_.emptyRoot = true;
      reportError(L"an empty path names no file or folder");
      continue;
    }
    const uint32_t attributes = platform_.getFileAttributes(root);
    path = root;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) && (modeFlags_ & MODE_PATHS)) {
      checkRootVolume(root);
      if (applyRule(path) != 0) noteUnreadableRoot(root, platform_.lastError());
    } else {
      if (attributes != INVALID_FILE_ATTRIBUTES && (modeFlags_ & MODE_PATHS)) checkRootVolume(root);
      // A root that cannot be read has no table: the walk says why.
      const bool fromTable = attributes != INVALID_FILE_ATTRIBUTES && readTable(path);
      switch (fromTable ? Listing::Whole : walkDirectory(path)) {
        case Listing::Whole:
          break;
        case Listing::NotStarted:
          if (modeFlags_ & MODE_PATHS) {
            noteUnreadableRoot(root, listingError_);
          } else {
            noteUnlistedFolder(root, listingError_);
          }
          break;
        case Listing::BrokeOff:
          noteUnlistedFolder(root, listingError_);
          break;
      }
    }
    if (interrupted_) return;
    path.clear();  // between roots the walk is in no folder
  }
}

// A root on a volume without attribute words (a folder on the system disk
// where the NTFS disk was meant to be mounted) is still walked, but the run
// did not scan what was asked.
void ScanJob::checkRootVolume(const std::wstring& root) {
  if (platform_.keepsAttributeWords(root)) return;
  counts_.rootsOffVolume = true;
  reportError(root + L" is not on an NTFS volume; is the disk mounted?");
}

void ScanJob::noteUnreadableRoot(const std::wstring& root, const std::wstring& why) {
  counts_.unreadableRoots.push_back(root);
  reportError(L"cannot read " + root + L": " + why);
}

void ScanJob::noteUnlistedFolder(const std::wstring& path, const std::wstring& why) {
  ++counts_.unlistedFolders;
  if (counts_.firstUnlistedFolders.size() < UNLISTED_NAMED) {
    counts_.firstUnlistedFolders.push_back(path);
    reportError(L"could not list " + path + L": " + why);
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
ScanJob::Listing ScanJob::walkDirectory(std::wstring& directoryPath) {
  const wchar_t sep = platform_.separator();
  const size_t directoryLength = directoryPath.size();
  if (platform_.separatorBeforeEntry(directoryPath)) directoryPath += sep;
  const size_t childStart = directoryPath.size();
  directoryPath += L'*';

  FindEntry entry;
  std::unique_ptr<DirectorySearch> search = platform_.findFirstFile(directoryPath, entry);
  Listing listing = Listing::Whole;
  if (!search && entry.attributes == INVALID_FILE_ATTRIBUTES) {
    listing = Listing::NotStarted;
    listingError_ = platform_.lastError();
  }
  if (search) {
    bool more = true;
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
        if (walkDirectory(directoryPath) != Listing::Whole) {
          noteUnlistedFolder(directoryPath, listingError_);
        }
        if (interrupted_) break;
      } else {
        applyRule(directoryPath);
      }
    } while ((more = search->next(entry)));
    if (!more && search->failed()) {
      listing = Listing::BrokeOff;
      listingError_ = platform_.lastError();
    }
  }
  directoryPath.resize(directoryLength);
  return listing;
}

}  // namespace tavrin
