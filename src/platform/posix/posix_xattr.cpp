#include "platform/posix/posix_xattr.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <string>

#include "platform/posix/posix_fd.h"

namespace tavrin {
namespace {

// getxattrat and setxattrat (Linux 6.13) have no C library wrapper yet. The
// numbers are those of the common system call table; elsewhere none (-1).
#if defined(__NR_getxattrat) && defined(__NR_setxattrat)
constexpr long GETXATTRAT = __NR_getxattrat;
constexpr long SETXATTRAT = __NR_setxattrat;
#elif defined(__x86_64__) || defined(__aarch64__)
constexpr long GETXATTRAT = 464;
constexpr long SETXATTRAT = 463;
#else
constexpr long GETXATTRAT = -1;
constexpr long SETXATTRAT = -1;
#endif

struct XattrArgs {  // struct xattr_args of the kernel
  uint64_t value;
  uint32_t size;
  uint32_t flags;
};

template <typename Call>
auto retryInterrupted(Call call) {
  for (;;) {
    const auto result = call();
    if (result >= 0 || errno != EINTR) return result;
  }
}

// What this process has found out about the ways to an entry of an open
// folder. Facts of the kernel and the sandbox the program runs in, the same
// for every folder, so they are learnt once.
enum class Known : int { Untried, Works, Refused };
std::atomic<Known> atCalls{GETXATTRAT >= 0 ? Known::Untried : Known::Refused};
std::atomic<Known> procFolders{Known::Untried};

// The kernel has no such call (before 6.13), or a sandbox's filter refuses
// it: systemd's SystemCallFilter= answers EPERM, not ENOSYS. EPERM can also
// be the file system's own answer, so it only counts once another way has
// answered otherwise.
bool callRefused(int error) { return error == ENOSYS || error == EPERM; }

// /proc/self/fd/N names the open folder itself only where /proc is the
// process file system: hidden (a tmpfs over it, or nothing mounted there)
// it leads nowhere, or somewhere else. `again`: look afresh, as after a
// "not found" that may mean /proc went away since the last look.
bool procReachesFolders(bool again = false) {
  Known known = again ? Known::Untried : procFolders.load(std::memory_order_relaxed);
  if (known == Known::Untried) {
    struct statfs status {};
    known = statfs("/proc/self/fd", &status) == 0 && status.f_type == PROC_SUPER_MAGIC
                ? Known::Works
                : Known::Refused;
    procFolders.store(known, std::memory_order_relaxed);
  }
  return known == Known::Works;
}

std::string viaProc(int directory, const char* name) {
  return "/proc/self/fd/" + std::to_string(directory) + "/" + name;
}

// The last way: the open folder becomes the working directory for the one
// call on the entry's bare name, then the working directory is given back.
// A name from a listing has no "/", so the call cannot leave the folder.
template <typename Call>
long inFolder(int directory, Call call) {
  static const UniqueFd home(open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!home.valid()) return -1;
  if (fchdir(directory) != 0) return -1;
  const long result = retryInterrupted(call);
  const int error = errno;
  if (fchdir(home.get()) != 0) return -1;
  errno = error;
  return result;
}

// Runs the *at call while it may work, then the fallbacks: `atCall` does
// the operation through the open folder, `byName(path)` by a name that
// leads to the entry (through /proc, or bare inside the folder).
template <typename AtCall, typename ByName>
long throughFolder(int directory, const char* name, AtCall atCall, ByName byName) {
  const Known known = atCalls.load(std::memory_order_relaxed);
  int refusal = 0;
  if (known != Known::Refused) {
    const long result = retryInterrupted(atCall);
    if (result >= 0 || !callRefused(errno)) {
      if (known == Known::Untried) atCalls.store(Known::Works, std::memory_order_relaxed);
      return result;
    }
    refusal = errno;
  }
  long result = -1;
  const bool viaProcFolders = procReachesFolders();
  if (viaProcFolders) {
    const std::string path = viaProc(directory, name);
    result = retryInterrupted([&] { return byName(path.c_str()); });
  }
  if (!viaProcFolders || (result < 0 && errno == ENOENT && !procReachesFolders(true))) {
    result = inFolder(directory, [&] { return byName(name); });
  }
  // Another way answered otherwise: the call itself was refused, never to
  // be tried again. Where it answers EPERM too, that was the file's answer.
  if (refusal == ENOSYS || (refusal == EPERM && (result >= 0 || errno != EPERM))) {
    atCalls.store(Known::Refused, std::memory_order_relaxed);
  }
  return result;
}

}  // namespace

ssize_t getEntryAttribute(int directory, const char* name, const char* attribute, void* value,
                          size_t size) {
  if (directory == AT_FDCWD) {
    return retryInterrupted([&] { return lgetxattr(name, attribute, value, size); });
  }
  XattrArgs args{reinterpret_cast<uintptr_t>(value), static_cast<uint32_t>(size), 0};
  return static_cast<ssize_t>(throughFolder(
      directory, name,
      [&] {
        return syscall(GETXATTRAT, directory, name, AT_SYMLINK_NOFOLLOW, attribute, &args,
                       sizeof args);
      },
      [&](const char* path) { return static_cast<long>(lgetxattr(path, attribute, value, size)); }));
}

int setEntryAttribute(int directory, const char* name, const char* attribute, const void* value,
                      size_t size) {
  if (directory == AT_FDCWD) {
    return retryInterrupted([&] { return lsetxattr(name, attribute, value, size, 0); });
  }
  XattrArgs args{reinterpret_cast<uintptr_t>(value), static_cast<uint32_t>(size), 0};
  return static_cast<int>(throughFolder(
      directory, name,
      [&] {
        return syscall(SETXATTRAT, directory, name, AT_SYMLINK_NOFOLLOW, attribute, &args,
                       sizeof args);
      },
      [&](const char* path) { return static_cast<long>(lsetxattr(path, attribute, value, size, 0)); }));
}

}  // namespace tavrin
