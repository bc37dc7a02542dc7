#include "platform/posix_xattr.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

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

// The same entry through /proc for kernels without the calls: one lookup of
// the descriptor, then the name in that very directory.
std::string viaProc(int directory, const char* name) {
  return "/proc/self/fd/" + std::to_string(directory) + "/" + name;
}

template <typename Call>
auto retryInterrupted(Call call) {
  for (;;) {
    const auto result = call();
    if (result >= 0 || errno != EINTR) return result;
  }
}

}  // namespace

ssize_t getEntryAttribute(int directory, const char* name, const char* attribute, void* value,
                          size_t size) {
  if (directory == AT_FDCWD) {
    return retryInterrupted([&] { return lgetxattr(name, attribute, value, size); });
  }
  if (GETXATTRAT >= 0) {
    XattrArgs args{reinterpret_cast<uintptr_t>(value), static_cast<uint32_t>(size), 0};
    const long length = retryInterrupted([&] {
      return syscall(GETXATTRAT, directory, name, AT_SYMLINK_NOFOLLOW, attribute, &args,
                     sizeof args);
    });
    if (length >= 0 || errno != ENOSYS) return static_cast<ssize_t>(length);
  }
  const std::string path = viaProc(directory, name);
  return retryInterrupted([&] { return lgetxattr(path.c_str(), attribute, value, size); });
}

int setEntryAttribute(int directory, const char* name, const char* attribute, const void* value,
                      size_t size) {
  if (directory == AT_FDCWD) {
    return retryInterrupted([&] { return lsetxattr(name, attribute, value, size, 0); });
  }
  if (SETXATTRAT >= 0) {
    XattrArgs args{reinterpret_cast<uintptr_t>(value), static_cast<uint32_t>(size), 0};
    const long result = retryInterrupted([&] {
      return syscall(SETXATTRAT, directory, name, AT_SYMLINK_NOFOLLOW, attribute, &args,
                     sizeof args);
    });
    if (result >= 0 || errno != ENOSYS) return static_cast<int>(result);
  }
  const std::string path = viaProc(directory, name);
  return retryInterrupted([&] { return lsetxattr(path.c_str(), attribute, value, size, 0); });
}

}  // namespace tavrin
