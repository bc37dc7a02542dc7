// The Linux platform itself: the volumes it offers, the clocks, the thread,
// the console; the walk, the result file and the table have files of their
// own.
#include "platform/posix/posix_platform.h"

#include <signal.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <system_error>

#include "platform/posix/posix_errors.h"
#include "platform/posix/posix_io.h"
#include "platform/posix/posix_signals.h"
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

size_t heldFoldersAllowed(size_t asked) {
  if (asked != 0) return asked;
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 1024;
  return limit.rlim_cur > OTHER_DESCRIPTORS ? static_cast<size_t>(limit.rlim_cur - OTHER_DESCRIPTORS)
                                            : 1;
}

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

void PosixPlatform::noteError(int error) { lastError_ = error; }

std::wstring PosixPlatform::lastError() { return errorText(lastError_); }

std::wstring PosixPlatform::noVolumesMessage() {
  return L"found no NTFS volume to scan; is the disk mounted?";
}

// As the package makes it: root's, and no other user may read the results.
std::wstring PosixPlatform::makeFolderCommand(const std::wstring& folder) {
  return L"install -d -m 0750 " + folder;
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

std::unique_ptr<Platform> createNativePlatform() { return std::make_unique<PosixPlatform>(); }

}  // namespace tavrin
