#include "platform/posix_io.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace tavrin {

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written >= 0) {
      bytes.remove_prefix(static_cast<size_t>(written));
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
    pollfd writable{fd, POLLOUT, 0};
    // POLLERR or POLLHUP come back too; the next write then says what failed.
    while (poll(&writable, 1, -1) < 0) {
      if (errno != EINTR) return false;
    }
  }
  return true;
}

}  // namespace tavrin
