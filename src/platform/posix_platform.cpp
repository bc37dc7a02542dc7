#include "platform/posix_platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <system_error>

#include "platform/posix_attributes.h"
#include "platform/posix_fd.h"
#include "platform/posix_io.h"
#include "platform/posix_signals.h"
#include "platform/text.h"
#include "screen_text.h"

namespace tavrin {
namespace {

// Console output is written in pieces of about this size when it is not a
// terminal, so a listing to a file or pipe costs few writes.
constexpr size_t CONSOLE_CHUNK = 65536;

// Descriptors the run keeps for everything but the walk's folders: the
// standard three, the result file, a listing being read, the mount table.
constexpr rlim_t OTHER_DESCRIPTORS = 16;

// Why a listing was given up when its folder could not be reached again;
// no errno has this value.
constexpr int FOLDER_REPLACED = -1;

size_t heldFoldersAllowed(size_t asked) {
  if (asked != 0) return asked;
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 1024;
  return limit.rlim_cur > OTHER_DESCRIPTORS ? static_cast<size_t>(limit.rlim_cur - OTHER_DESCRIPTORS)
                                            : 1;
}

}  // namespace

// A directory read completely when the search starts, so a listing holds no
// descriptor of its own beyond its folder, and the folders of a deep tree
// are kept open only as far as descriptors allow. Entries are packed as type
// byte, name, NUL, so a listing costs its names and two bytes per entry.
class PosixDirectorySearch final : public DirectorySearch {
 public:
  // `error`: the errno that ended the reading of the listing early, or 0.
  PosixDirectorySearch(PosixPlatform& platform, std::string listing, int error)
      : platform_(platform), listing_(std::move(listing)), error_(error) {}

  ~PosixDirectorySearch() override { platform_.endListing(this); }
  PosixDirectorySearch(const PosixDirectorySearch&) = delete;
  PosixDirectorySearch& operator=(const PosixDirectorySearch&) = delete;

  bool next(FindEntry& entry) override { return advance(entry, true); }
  bool nextName(FindEntry& entry) override { return advance(entry, false); }

  bool failed() const override { return error_ != 0 && cursor_ >= listing_.size(); }

 private:
  // The next entry, with its attributes looked at when `classify` is set
  // (for a folder or link that is a call to the system).
  bool advance(FindEntry& entry, bool classify) {
    if (platform_.listingLost(this) && cursor_ < listing_.size()) {
      error_ = FOLDER_REPLACED;
      cursor_ = listing_.size();
    }
    if (cursor_ >= listing_.size()) {
      if (error_ != 0) platform_.noteError(error_);
      return false;
    }
    const auto type = static_cast<unsigned char>(listing_[cursor_]);
    const size_t nameStart = cursor_ + 1;
    const size_t nameEnd = listing_.find('\0', nameStart);
    const std::string_view name(listing_.data() + nameStart, nameEnd - nameStart);
    cursor_ = nameEnd + 1;
    entry.attributes = type == DT_REG || !classify ? FILE_ATTRIBUTE_ARCHIVE
                                                   : platform_.listedEntryAttributes(this, type, name.data());
    // Links, junctions and mount points all stand for another place.
    entry.nameSurrogate = (entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    assignWide(entry.name, name);
    return true;
  }

  PosixPlatform& platform_;
  std::string listing_;  // type byte, name, NUL for each entry
  size_t cursor_ = 0;
  int error_;
};

namespace {

// A failure in the few words messages use; the system's own for the rest.
std::wstring errorText(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return L"not found";
    case EACCES:
    case EPERM:
      return L"access denied";
    case EIO:
      return L"I/O error";
    case ENAMETOOLONG:
      return L"the path is too long";
    case ENOSPC:
      return L"no space left on the disk";
    case EFBIG:
      return L"the file reached the size limit for files";
    case FOLDER_REPLACED:
      return L"the folder was moved or replaced during the walk";
    default: {
      std::wstring text = toWide(std::strerror(error));
      if (!text.empty() && text[0] >= L'A' && text[0] <= L'Z') text[0] = static_cast<wchar_t>(text[0] - L'A' + L'a');
      return text;
    }
  }
}

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

class PosixResultFile final : public ResultFile {
 public:
  PosixResultFile(UniqueFd file, std::string path) : file_(std::move(file)), path_(std::move(path)) {}

  bool write(std::wstring_view text) override {
    bytes_.clear();
    appendBytes(bytes_, text);
    if (writeAll(file_.get(), bytes_)) {
      size_ += static_cast<off_t>(bytes_.size());
      return true;
    }
    error_ = errno;
    // Whatever part went out is taken back: the file ends with a whole record.
    if (ftruncate(file_.get(), size_) == 0) lseek(file_.get(), size_, SEEK_SET);
    return false;
  }

  std::wstring error() const override { return errorText(error_); }

  bool removeIfEmpty() override {
    struct stat own {};
    struct stat named {};
    const bool ours = fstat(file_.get(), &own) == 0 && own.st_size == 0 &&
                      lstat(path_.c_str(), &named) == 0 && named.st_dev == own.st_dev &&
                      named.st_ino == own.st_ino;
    file_ = UniqueFd();
    return ours && unlink(path_.c_str()) == 0;
  }

 private:
  UniqueFd file_;
  std::string path_;
  std::string bytes_;
  off_t size_ = 0;  // what the file holds of whole writes
  int error_ = 0;
};

}  // namespace

std::wstring volumeRoot(const std::string& mountPoint) {
  std::wstring root = toWide(mountPoint);
  if (root.empty() || root.back() != L'/') root += L'/';
  return root;
}

PosixPlatform::PosixPlatform(PosixSystemFiles files, int consoleFd)
    : files_(std::move(files)),
      consoleFd_(consoleFd),
      consoleIsTerminal_(isatty(consoleFd) == 1),
      heldFolders_(heldFoldersAllowed(files_.heldFolders)) {}

PosixPlatform::~PosixPlatform() { flushConsole(); }

const std::string& PosixPlatform::bytesOf(const std::wstring& path) {
  pathBytes_.clear();
  appendBytes(pathBytes_, path);
  return pathBytes_;
}

// An entry of the innermost listing goes through that listing's open
// folder; when the folder could not be reached again it is not reached at
// all (empty name, not by path). Any other path (a root) goes by its path.
// A path too long for the system is never shortened this way: the system
// refuses it.
PosixPlatform::Reach PosixPlatform::reach(const std::string& path) const {
  if (listings_.empty() || path.size() >= PATH_MAX) return {{}, true};
  const Listing& innermost = listings_.back();
  const std::string& directory = innermost.directory;
  if (path.size() <= directory.size() || !path.starts_with(directory) ||
      path.find('/', directory.size()) != std::string::npos) {
    return {{}, true};
  }
  if (!innermost.folder.valid()) return {};
  return {std::string_view(path).substr(directory.size()), false};
}

int PosixPlatform::currentFolder() const {
  return listings_.empty() ? -1 : listings_.back().folder.get();
}

bool PosixPlatform::listingLost(const void* search) const {
  return !listings_.empty() && listings_.back().search == search && listings_.back().lost;
}

// What the listing `search` reports for an entry other than a regular file.
// Its directory is the open one: the walk reads only the innermost listing.
// A directory that is a mount point reads as a directory reparse point, as
// Windows shows a volume mounted in a folder, so the walk does not enter it.
uint32_t PosixPlatform::listedEntryAttributes(const void* search, unsigned char type,
                                              const char* name) {
  if (listings_.empty() || listings_.back().search != search || currentFolder() < 0) {
    // Not the walk's way: such an entry is not looked at, nor entered.
    return FILE_ATTRIBUTE_REPARSE_POINT |
           (type == DT_DIR ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE);
  }
  const bool dotName = name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
  if (dotName) return FILE_ATTRIBUTE_DIRECTORY;
  // A mount point is told before anything is asked of it: its file system's
  // daemon may never answer.
  if (type == DT_DIR && isMountPoint(name)) {
    return FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
  }
  // Where the file system keeps NTFS words the word, not the Linux type,
  // tells folders and links apart.
  const bool ntfsWords = listings_.back().ntfsWords;
  if (type == DT_DIR && !ntfsWords) return FILE_ATTRIBUTE_DIRECTORY;
  const uint32_t attributes = entryAttributes(type, currentFolder(), name, ntfsWords);
  if (type == DT_UNKNOWN && (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
                                FILE_ATTRIBUTE_DIRECTORY &&
      isMountPoint(name)) {
    return FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
  }
  return attributes;
}

bool PosixPlatform::isMountPoint(const char* name) {
  const MountCheck check = checkMountPoint(currentFolder(), name, listings_.back().device);
  if (check != MountCheck::Unknown && files_.kernelMarksMountRoots) {
    return check == MountCheck::MountPoint;
  }
  if (check == MountCheck::MountPoint) return true;
  // The folder's own name, as the kernel knows it, against the mount table.
  char folder[PATH_MAX];
  const std::string link = "/proc/self/fd/" + std::to_string(currentFolder());
  const ssize_t length = readlink(link.c_str(), folder, sizeof folder);
  if (length <= 0 || static_cast<size_t>(length) >= sizeof folder) return false;
  std::string path(folder, static_cast<size_t>(length));
  if (path.back() != '/') path += '/';
  path += name;
  if (!mountPoints_) {
    mountPoints_.emplace();
    if (const std::optional<std::string> table = readWholeFile(files_.mountInfo)) {
      for (MountEntry& mount : parseMountInfo(*table)) {
        mountPoints_->push_back(std::move(mount.mountPoint));
      }
    }
  }
  return std::find(mountPoints_->begin(), mountPoints_->end(), path) != mountPoints_->end();
}

// The walk ends listings innermost first: the one around it becomes current
// again, through the folder it kept open or else through ".." of the folder
// that ends, checked to be the same directory. Never by its path: a folder
// moved away meanwhile, and a link put in its place, would lead elsewhere.
// Reached neither way, the rest of that listing is given up; where ".." is
// a folder further out that had to be closed, that one has it back, so the
// walk goes on there.
void PosixPlatform::endListing(const void* search) {
  UniqueFd inner;
  for (auto it = listings_.end(); it != listings_.begin();) {
    if ((--it)->search != search) continue;
    const bool innermost = it + 1 == listings_.end();
    inner = std::move(it->folder);
    listings_.erase(it);
    if (!innermost) return;
    break;
  }
  if (listings_.empty()) return;
  Listing& outer = listings_.back();
  if (outer.folder.valid() || outer.lost) return;
  UniqueFd parent;
  if (inner.valid()) {
    parent = UniqueFd(openat(inner.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  }
  struct stat status {};
  if (!parent.valid() || fstat(parent.get(), &status) != 0) {
    outer.lost = true;
    return;
  }
  for (auto it = listings_.rbegin(); it != listings_.rend(); ++it) {
    if (it->folder.valid()) break;  // the walk goes back up to this one anyway
    if (status.st_dev == it->device && status.st_ino == it->inode && !it->lost) {
      it->folder = std::move(parent);
      break;
    }
  }
  if (!outer.folder.valid()) outer.lost = true;
}

// An entry of the listing being walked is read and written through the
// listing's open directory, never by its path: a folder of the path renamed
// or swapped for a link meanwhile cannot lead the call out of the tree. A
// root named on the command line goes by its path.
uint32_t PosixPlatform::getFileAttributes(const std::wstring& path) {
  const std::string& bytes = bytesOf(path);
  int folder = -1;
  std::string_view inTable;
  if (tableEntry(bytes, folder, inTable)) return readAttributes(folder, inTable.data());
  const Reach way = reach(bytes);
  const std::string_view name = way.name;
  uint32_t attributes = 0;
  if (way.byPath) {
    attributes = readAttributes(AT_FDCWD, bytes.c_str());
  } else if (name.empty()) {
    noteError(FOLDER_REPLACED);
    return INVALID_FILE_ATTRIBUTES;
  } else if (!listings_.back().ntfsWords) {
    // A file of a directory whose file system keeps no NTFS words (ext4,
    // tmpfs): straight to the derived word. Only a file mounted on its own
    // in such a directory could have another file system; none is expected.
    attributes = readDerivedAttributes(currentFolder(), name.data());
  } else {
    attributes = readAttributes(currentFolder(), name.data());
  }
  if (attributes == INVALID_FILE_ATTRIBUTES) noteError(errno);
  return attributes;
}

bool PosixPlatform::setFileAttributes(const std::wstring& path, uint32_t attributes) {
  const std::string& bytes = bytesOf(path);
  int folder = -1;
  std::string_view inTable;
  if (tableEntry(bytes, folder, inTable)) return writeAttributes(folder, inTable.data(), attributes);
  const Reach way = reach(bytes);
  if (!way.byPath && way.name.empty()) {
    noteError(FOLDER_REPLACED);
    return false;
  }
  const bool written = way.byPath ? writeAttributes(AT_FDCWD, bytes.c_str(), attributes)
                                  : writeAttributes(currentFolder(), way.name.data(), attributes);
  if (!written) noteError(errno);
  return written;
}

void PosixPlatform::noteError(int error) { lastError_ = error; }

std::wstring PosixPlatform::lastError() { return errorText(lastError_); }

// Following a final link: a path given as a link to the mounted disk is on
// that disk. Only a file system that does not know the word at all says no.
bool PosixPlatform::keepsAttributeWords(const std::wstring& path) {
  unsigned char value[8];
  if (getxattr(bytesOf(path).c_str(), NTFS_ATTRIBUTE_NAME, value, sizeof value) >= 0) return true;
  return errno != ENOTSUP && errno != EOPNOTSUPP && errno != ENODATA;
}

std::wstring PosixPlatform::noVolumesMessage() {
  return L"found no NTFS volume to scan; is the disk mounted?";
}

// As the package makes it: root's, and no other user may read the results.
std::wstring PosixPlatform::makeFolderCommand(const std::wstring& folder) {
  return L"install -d -m 0750 " + folder;
}

std::unique_ptr<DirectorySearch> PosixPlatform::findFirstFile(const std::wstring& pattern,
                                                               FindEntry& first) {
  first.attributes = INVALID_FILE_ATTRIBUTES;  // until the listing is read
  std::string directory = toBytes(pattern);
  if (!directory.empty() && directory.back() == '*') directory.pop_back();
  // A subdirectory of the current listing is opened through it, never
  // through a link that took its place; a root as the system finds it.
  const auto fail = [&] {
    noteError(errno);
    return nullptr;
  };
  UniqueFd fd;
  bool byPath = true;
  if (directory.size() > 1 && directory.back() == '/') {
    directory.pop_back();
    const Reach way = reach(directory);
    byPath = way.byPath;
    if (!way.name.empty()) {
      fd = UniqueFd(openat(currentFolder(), way.name.data(),
                           O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!fd.valid()) return fail();
    } else if (!byPath) {
      errno = FOLDER_REPLACED;
      return fail();
    }
    directory += '/';
  }
  if (!fd.valid()) {
    fd = UniqueFd(open(directory.empty() ? "." : directory.c_str(),
                       O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) return fail();
  }
  struct stat status {};
  if (fstat(fd.get(), &status) != 0) return fail();

  std::string listing;
  int readError = 0;  // what ended the listing before its end
  {
    UniqueFd copy(dup(fd.get()));  // the listing closes its own
    const std::unique_ptr<DIR, DirCloser> dir(copy.valid() ? fdopendir(copy.get()) : nullptr);
    if (!dir) return fail();
    copy.release();
    // A stop ends the reading too: a huge folder on a slow volume must not
    // hold it up.
    while (!stopRequested()) {
      errno = 0;
      const dirent* entry = readdir(dir.get());
      if (!entry) {
        if (errno == EINTR) continue;
        readError = errno;
        break;
      }
      listing += static_cast<char>(entry->d_type);
      listing += entry->d_name;
      listing += '\0';
    }
  }
  listing.shrink_to_fit();
  if (listing.empty() && readError != 0) {
    errno = readError;
    return fail();
  }
  first.attributes = 0;
  if (listing.empty()) return nullptr;
  const bool ntfsWords = keepsNtfsWords(fd.get());
  // Past the budget the folder around this one closes; it is reached again
  // through ".." when this listing ends.
  const auto held = std::count_if(listings_.begin(), listings_.end(),
                                  [](const Listing& open) { return open.folder.valid(); });
  if (static_cast<size_t>(held) >= heldFolders_ && !listings_.empty()) {
    listings_.back().folder = UniqueFd();
  }
  listings_.push_back({nullptr, std::move(directory), ntfsWords, status.st_dev, status.st_ino,
                       std::move(fd)});
  auto search = std::make_unique<PosixDirectorySearch>(*this, std::move(listing), readError);
  listings_.back().search = search.get();
  search->next(first);
  return search;
}

void PosixPlatform::readVolumes() {
  volumes_.clear();
  const std::optional<std::string> mountInfo = readWholeFile(files_.mountInfo);
  if (!mountInfo) return;
  const std::vector<MountEntry> mounts = parseMountInfo(*mountInfo);
  const auto fromSource = [&](const MountEntry& mount) { return sourceIsNtfs(mount, mounts); };
  for (MountEntry& mount : selectNtfsVolumes(mounts, fromSource, getuid())) {
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

uint64_t PosixPlatform::monotonicMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

bool PosixPlatform::stopRequested() { return caughtStopSignal() != 0; }

uint32_t PosixPlatform::tickCount() {
  timespec now{};
  clock_gettime(CLOCK_BOOTTIME, &now);
  const auto milliseconds = static_cast<uint64_t>(now.tv_sec) * 1000u +
                            static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(milliseconds);
}

void PosixPlatform::writeConsole(std::wstring_view text) {
  // A name must not steer the terminal it is shown on.
  appendBytes(console_, consoleIsTerminal_ ? std::wstring_view(forTerminal(text)) : text);
  if (consoleIsTerminal_ || console_.size() >= CONSOLE_CHUNK) flushConsole();
}

// Console text written so far goes first, so a reader of both streams
// together sees the error where it happened.
void PosixPlatform::writeError(std::wstring_view text) {
  flushConsole();
  const bool terminal = isatty(STDERR_FILENO) == 1;
  writeAll(STDERR_FILENO, toBytes(terminal ? std::wstring_view(forTerminal(text)) : text),
           Waiting::UntilStop);
}

// Output that cannot be written (a closed pipe) is dropped from then on; the
// run goes on. A slow reader is waited for, until a stop is asked for.
void PosixPlatform::flushConsole() {
  if (!console_.empty() && !consoleClosed_) {
    consoleClosed_ = !writeAll(consoleFd_, console_, Waiting::UntilStop);
  }
  console_.clear();
}

// The thread starts with every signal blocked, so each stop signal goes to
// the walk's thread and interrupts what it waits on. Without a thread (no
// memory for its stack, a process limit) the run goes on without one.
std::thread PosixPlatform::startThread(std::function<void()> work) {
  sigset_t all;
  sigset_t before;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &before);
  std::thread thread;
  try {
    thread = std::thread(std::move(work));
  } catch (const std::system_error&) {
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return thread;
}

std::unique_ptr<ResultFile> PosixPlatform::createResultFile(const std::wstring& path,
                                                           CreateFailure& failure) {
  UniqueFd file(open(bytesOf(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!file.valid()) {
    noteError(errno);
    failure = errno == EEXIST || errno == ELOOP ? CreateFailure::NameTaken
              : errno == ENOENT || errno == ENOTDIR ? CreateFailure::FolderMissing
              : errno == EACCES || errno == EPERM || errno == EROFS ? CreateFailure::AccessDenied
                                                                    : CreateFailure::Other;
    return nullptr;
  }
  failure = CreateFailure::None;
  return std::make_unique<PosixResultFile>(std::move(file), bytesOf(path));
}

std::unique_ptr<Platform> createNativePlatform() { return std::make_unique<PosixPlatform>(); }

}  // namespace tavrin
