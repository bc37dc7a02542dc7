#include "platform/posix_platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix_attributes.h"
#include "platform/posix_fd.h"
#include "platform/text.h"

namespace tavrin {
namespace {

// Console output is written in pieces of about this size when it is not a
// terminal, so a listing to a file or pipe costs few writes.
constexpr size_t CONSOLE_CHUNK = 65536;

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

}  // namespace

// A directory read completely when the search starts: no descriptor stays
// open while the walk recurses, so a deep tree cannot exhaust descriptors.
// Entries are packed as type byte, name, NUL, so a listing costs its names
// and two bytes per entry. It lives within the walk, so within its platform.
class PosixDirectorySearch final : public DirectorySearch {
 public:
  PosixDirectorySearch(std::vector<PosixPlatform::Listing>& listings, std::string directory,
                       std::string listing)
      : listings_(listings),
        path_(std::move(directory)),
        directoryLength_(path_.size()),
        listing_(std::move(listing)) {}

  ~PosixDirectorySearch() override {
    for (auto it = listings_.end(); it != listings_.begin();) {
      if ((--it)->search == this) {
        listings_.erase(it);
        break;
      }
    }
  }
  PosixDirectorySearch(const PosixDirectorySearch&) = delete;
  PosixDirectorySearch& operator=(const PosixDirectorySearch&) = delete;

  // Makes this listing the one whose files are asked about next.
  void announce(bool ntfsWords) {
    listings_.push_back({this, path_.substr(0, directoryLength_), ntfsWords});
  }

  bool next(FindEntry& entry) override {
    if (cursor_ >= listing_.size()) return false;
    const auto type = static_cast<unsigned char>(listing_[cursor_]);
    const size_t nameStart = cursor_ + 1;
    const size_t nameEnd = listing_.find('\0', nameStart);
    const std::string_view name(listing_.data() + nameStart, nameEnd - nameStart);
    cursor_ = nameEnd + 1;
    if (type == DT_DIR || type == DT_REG) {
      entry.attributes = type == DT_DIR ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    } else {
      path_.resize(directoryLength_);
      path_ += name;
      entry.attributes = entryAttributes(type, path_.c_str());
    }
    entry.name = toWide(name);
    return true;
  }

 private:
  std::vector<PosixPlatform::Listing>& listings_;
  std::string path_;  // the directory, then the entry being looked at
  size_t directoryLength_;
  std::string listing_;
  size_t cursor_ = 0;
};

namespace {

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

class PosixResultFile final : public ResultFile {
 public:
  explicit PosixResultFile(UniqueFd file) : file_(std::move(file)) {}

  bool write(std::wstring_view text) override {
    bytes_.clear();
    appendBytes(bytes_, text);
    return writeAll(file_.get(), bytes_);
  }

 private:
  UniqueFd file_;
  std::string bytes_;
};

}  // namespace

std::wstring volumeRoot(const std::string& mountPoint) {
  std::wstring root = toWide(mountPoint);
  if (root.empty() || root.back() != L'/') root += L'/';
  return root;
}

PosixPlatform::PosixPlatform(PosixSystemFiles files, int consoleFd)
    : files_(std::move(files)), consoleFd_(consoleFd), consoleIsTerminal_(isatty(consoleFd) == 1) {}

PosixPlatform::~PosixPlatform() { flushConsole(); }

const char* PosixPlatform::bytesOf(const std::wstring& path) {
  pathBytes_.clear();
  appendBytes(pathBytes_, path);
  return pathBytes_.c_str();
}

// A file of the directory being walked, on a file system without NTFS words
// (ext4, tmpfs): straight to the derived word. Only a file mounted on its own
// in such a directory could have another file system; none is expected.
uint32_t PosixPlatform::getFileAttributes(const std::wstring& path) {
  const char* bytes = bytesOf(path);
  if (!listings_.empty()) {
    const Listing& current = listings_.back();
    if (!current.ntfsWords && pathBytes_.starts_with(current.directory) &&
        pathBytes_.find('/', current.directory.size()) == std::string::npos) {
      return readDerivedAttributes(bytes);
    }
  }
  return readAttributes(bytes);
}

bool PosixPlatform::setFileAttributes(const std::wstring& path, uint32_t attributes) {
  return writeAttributes(bytesOf(path), attributes);
}

std::unique_ptr<DirectorySearch> PosixPlatform::findFirstFile(const std::wstring& pattern,
                                                               FindEntry& first) {
  std::string directory = toBytes(pattern);
  if (!directory.empty() && directory.back() == '*') directory.pop_back();
  std::string listing;
  {
    const std::unique_ptr<DIR, DirCloser> dir(opendir(directory.empty() ? "." : directory.c_str()));
    if (!dir) return nullptr;
    // A read error ends the listing like its end; what was read stays.
    while (const dirent* entry = readdir(dir.get())) {
      listing += static_cast<char>(entry->d_type);
      listing += entry->d_name;
      listing += '\0';
    }
  }
  listing.shrink_to_fit();
  if (listing.empty()) return nullptr;
  const bool ntfsWords = keepsNtfsWords(directory.empty() ? "." : directory.c_str());
  auto search =
      std::make_unique<PosixDirectorySearch>(listings_, std::move(directory), std::move(listing));
  search->announce(ntfsWords);
  search->next(first);
  return search;
}

void PosixPlatform::readVolumes() {
  volumes_.clear();
  const std::optional<std::string> mountInfo = readWholeFile(files_.mountInfo);
  if (!mountInfo) return;
  const auto hasNtfsWord = [](const std::string& mountPoint) {
    uint32_t attributes = 0;
    return readNtfsAttributes(mountPoint.c_str(), attributes);
  };
  for (MountEntry& mount : selectNtfsVolumes(parseMountInfo(*mountInfo), hasNtfsWord)) {
    std::wstring root = volumeRoot(mount.mountPoint);
    volumes_.push_back({std::move(root), std::move(mount)});
  }
}

std::vector<std::wstring> PosixPlatform::logicalDriveStrings() {
  readVolumes();
  std::vector<std::wstring> roots;
  roots.reserve(volumes_.size());
  for (const Volume& volume : volumes_) roots.push_back(volume.root);
  return roots;
}

unsigned PosixPlatform::getDriveType(const std::wstring& root) {
  const auto find = [&]() -> const Volume* {
    for (const Volume& volume : volumes_) {
      if (volume.root == root) return &volume;
    }
    return nullptr;
  };
  const Volume* volume = find();
  if (!volume) {
    readVolumes();
    volume = find();
  }
  return volume ? driveTypeOf(volume->mount, files_.sysfs) : DRIVE_NO_ROOT_DIR;
}

std::optional<std::wstring> PosixPlatform::commonAppDataFolder() { return L"/var/lib"; }

uint32_t PosixPlatform::tickCount() {
  timespec now{};
  clock_gettime(CLOCK_BOOTTIME, &now);
  const auto milliseconds = static_cast<uint64_t>(now.tv_sec) * 1000u +
                            static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(milliseconds);
}

void PosixPlatform::writeConsole(std::wstring_view text) {
  appendBytes(console_, text);
  if (consoleIsTerminal_ || console_.size() >= CONSOLE_CHUNK) flushConsole();
}

// Output that cannot be written (a closed pipe) is dropped; the run goes on.
void PosixPlatform::flushConsole() {
  if (!console_.empty()) writeAll(consoleFd_, console_);
  console_.clear();
}

std::unique_ptr<ResultFile> PosixPlatform::createResultFile(const std::wstring& path) {
  UniqueFd file(open(bytesOf(path), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!file.valid()) return nullptr;
  return std::make_unique<PosixResultFile>(std::move(file));
}

std::unique_ptr<Platform> createNativePlatform() { return std::make_unique<PosixPlatform>(); }

}  // namespace tavrin
