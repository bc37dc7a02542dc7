// The Linux side of reading a volume's file table: the device or image a
// mount of ntfs-3g or ntfs3 was made from, opened read-only, and the folders
// of a tree reached from its root name by name for the files a command acts
// on, never by their paths.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "platform/posix/posix_attributes.h"
#include "platform/posix/posix_volume_source.h"
#include "platform/posix/posix_platform.h"
#include "platform/text.h"

namespace tavrin {
namespace {

// The mount's driver, which decides how a stored word is reported.
enum class Driver { Ntfs3g, Ntfs3 };

class PosixRawVolume final : public RawVolume {
 public:
  PosixRawVolume(UniqueFd device, Driver driver) : device_(std::move(device)), driver_(driver) {}

  bool read(uint64_t offset, size_t length, uint8_t* into) override {
    while (length > 0) {
      const ssize_t got = pread(device_.get(), into, length, static_cast<off_t>(offset));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;
      into += got;
      offset += static_cast<uint64_t>(got);
      length -= static_cast<size_t>(got);
    }
    return true;
  }

  // Cold, the reader would otherwise wait for each read and the disk for
  // each parse: asked ahead, the two overlap.
  void prefetch(uint64_t offset, uint64_t length) override {
    if (offset > static_cast<uint64_t>(INT64_MAX) || length > static_cast<uint64_t>(INT64_MAX) - offset) return;
    posix_fadvise(device_.get(), static_cast<off_t>(offset), static_cast<off_t>(length), POSIX_FADV_WILLNEED);
  }

  // Both drivers report the stored word; the walk reads it through
  // windowsWord, so the table's words go the same way.
  uint32_t reportedWord(uint32_t stored, bool directory) const override {
    const uint32_t word = windowsWord(stored);
    return directory ? word | FILE_ATTRIBUTE_DIRECTORY : word;
  }

  // Both drivers give a file's table record as its inode number. The first
  // few entries tell as well as all would, and cost no memory to speak of.
  std::vector<ListedRecord> rootRecords() const override { return rootRecords_; }
  void listRoot(int folder) {
    constexpr size_t ENTRIES_COMPARED = 64;
    UniqueFd copy(openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR* dir = copy.valid() ? fdopendir(copy.get()) : nullptr;
    if (!dir) return;
    copy.release();  // the listing owns it now
    for (const dirent* entry; (entry = readdir(dir)) != nullptr;) {
      const std::string_view name(entry->d_name);
      if (name != "." && name != "..") rootRecords_.push_back({toWide(name), entry->d_ino});
      if (rootRecords_.size() == ENTRIES_COMPARED) break;
    }
    closedir(dir);
  }

 private:
  UniqueFd device_;
  [[maybe_unused]] Driver driver_;
  std::vector<ListedRecord> rootRecords_;
};

// The folder of `descriptor` as the kernel names it.
std::optional<std::string> pathOf(int descriptor) {
  char buffer[PATH_MAX];
  const std::string link = "/proc/self/fd/" + std::to_string(descriptor);
  const ssize_t length = readlink(link.c_str(), buffer, sizeof buffer);
  if (length <= 0 || static_cast<size_t>(length) >= sizeof buffer) return std::nullopt;
  return std::string(buffer, static_cast<size_t>(length));
}

bool sameFolder(int descriptor, dev_t device, uint64_t record) {
  struct stat status {};
  return fstat(descriptor, &status) == 0 && S_ISDIR(status.st_mode) && status.st_dev == device &&
         status.st_ino == record;
}

}  // namespace

std::unique_ptr<RawVolume> PosixPlatform::openRawVolume(const std::wstring& root, std::wstring& why) {
  if (!files_.readTables) return nullptr;
  const std::string& rootBytes = bytesOf(root);
  const UniqueFd folder(open(rootBytes.empty() ? "." : rootBytes.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat status {};
  if (!folder.valid() || fstat(folder.get(), &status) != 0 || !keepsNtfsWords(folder.get())) return nullptr;
  const std::optional<std::string> mountInfo = readWholeFile(files_.mountInfo);
  const std::optional<std::string> canonical = pathOf(folder.get());
  if (!mountInfo || !canonical) return nullptr;
  const std::vector<MountEntry> mounts = parseMountInfo(*mountInfo);
  const MountEntry* volume = nullptr;
  for (const MountEntry& mount : mounts) {
    if (makedev(mount.major, mount.minor) == status.st_dev) volume = &mount;
  }
  if (!volume || classifyFileSystem(volume->fsType) == NtfsKind::NotNtfs) return nullptr;
  const Driver driver = volume->fsType.starts_with("fuse") ? Driver::Ntfs3g : Driver::Ntfs3;
  // Read as root, the bytes must be the volume's: never a mount another
  // user made, never a source anyone but root could swap or change.
  if (volume->owner && *volume->owner != 0) {
    why = L"it was mounted by user " + std::to_wstring(*volume->owner) + L", not by root";
    return nullptr;
  }
  if (volume->source.empty() || volume->source[0] != '/' || insideFuseMount(volume->source, mounts)) {
    why = L"its device " + toWide(volume->source) + L" cannot be read safely";
    return nullptr;
  }
  std::string refused;
  UniqueFd device = openRootsSource(volume->source, refused);
  if (!device.valid()) {
    why = L"its device " + toWide(volume->source) + L" cannot be read safely: " + toWide(refused);
    return nullptr;
  }
  // What the kernel still holds of the volume goes to it first (ntfs3).
  syncfs(folder.get());
  posix_fadvise(device.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  auto raw = std::make_unique<PosixRawVolume>(std::move(device), driver);
  raw->rootRecord = status.st_ino;
  raw->fallbackPath = PATH_MAX;
  raw->memoryBudget = tableMemoryBudget();
  raw->listRoot(folder.get());
  // Another volume mounted inside the tree, each outermost one once.
  const std::string& inside = *canonical == "/" ? std::string() : *canonical;
  std::vector<std::string> points;
  for (const MountEntry& mount : mounts) {
    const std::string& point = mount.mountPoint;
    if (point.size() <= inside.size() + 1 || !point.starts_with(inside) || point[inside.size()] != '/') continue;
    points.push_back(point.substr(inside.size() + 1));
  }
  for (const std::string& point : points) {
    const bool nested = std::any_of(points.begin(), points.end(), [&](const std::string& outer) {
      return point.size() > outer.size() && point.starts_with(outer) && point[outer.size()] == '/';
    });
    if (!nested) raw->mountPoints.push_back(toWide(point));
  }
  tableDevice_ = status.st_dev;
  return raw;
}

bool PosixPlatform::enterTableFolder(const std::wstring& path, const std::vector<TableStep>& steps) {
  // Each step's folder as bytes, with the separator after it.
  std::vector<std::string> folders;
  for (const TableStep& step : steps) {
    std::string bytes = toBytes(std::wstring_view(path).substr(0, step.end));
    if (bytes.empty() || bytes.back() != '/') bytes += '/';
    folders.push_back(std::move(bytes));
  }
  size_t kept = 0;
  while (kept < tableLevels_.size() && kept < steps.size() && tableLevels_[kept].record == steps[kept].record &&
         tableLevels_[kept].directory == folders[kept]) {
    ++kept;
  }
  tableLevels_.resize(kept);
  // Down from the deepest folder still open; only the first few levels and
  // the innermost keep their descriptors, so any depth can be reached.
  size_t from = kept;
  while (from > 0 && !tableLevels_[from - 1].fd.valid()) --from;
  for (size_t i = from; i < steps.size(); ++i) {
    UniqueFd fd;
    if (i == 0) {
      const std::string root = folders[0].size() > 1 ? folders[0].substr(0, folders[0].size() - 1) : folders[0];
      fd = UniqueFd(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    } else {
      const int parent = tableLevels_[i - 1].fd.get();
      const std::string name = folders[i].substr(folders[i - 1].size(), folders[i].size() - folders[i - 1].size() - 1);
      fd = UniqueFd(openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    // The root sets the device (when openRawVolume did not); every folder
    // below must be on it.
    struct stat status {};
    if (i == 0 && fd.valid() && tableDevice_ == 0 && fstat(fd.get(), &status) == 0) tableDevice_ = status.st_dev;
    if (!fd.valid() || !sameFolder(fd.get(), tableDevice_, steps[i].record)) {
      tableLevels_.resize(std::min(tableLevels_.size(), i));
      return false;
    }
    if (i < tableLevels_.size()) {
      tableLevels_[i].fd = std::move(fd);
    } else {
      tableLevels_.push_back({folders[i], steps[i].record, std::move(fd)});
    }
    // The one above keeps its descriptor only near the root.
    if (i >= 1 && i - 1 >= KEPT_TABLE_LEVELS && i > from) tableLevels_[i - 1].fd = UniqueFd();
  }
  return true;
}

void PosixPlatform::leaveTableFolders() { tableLevels_.clear(); }

// The innermost table folder and the name in it, when `path` is one of its
// entries.
bool PosixPlatform::tableEntry(const std::string& path, int& folder, std::string_view& name) const {
  if (tableLevels_.empty() || !tableLevels_.back().fd.valid()) return false;
  const std::string& directory = tableLevels_.back().directory;
  if (path.size() <= directory.size() || !path.starts_with(directory) ||
      path.find('/', directory.size()) != std::string::npos) {
    return false;
  }
  folder = tableLevels_.back().fd.get();
  name = std::string_view(path).substr(directory.size());
  return true;
}

}  // namespace tavrin
