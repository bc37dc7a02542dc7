#include "platform/posix/posix_io.h"

#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/posix/posix_signals.h"

namespace tavrin {
namespace {

// Waits until `fd` takes more, or until a stop signal comes when `untilStop`.
// The stop signals are held back between the look at the flag and the
// wait, so one that comes in between still ends the wait. False on an error.
bool waitWritable(int fd, bool untilStop) {
  pollfd writable{fd, POLLOUT, 0};
  if (!untilStop) {
    // POLLERR or POLLHUP come back too; the next write then says what failed.
    while (poll(&writable, 1, -1) < 0) {
      if (errno != EINTR) return false;
    }
    return true;
  }
  sigset_t stops;
  sigset_t before;
  sigemptyset(&stops);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, signal);
  pthread_sigmask(SIG_BLOCK, &stops, &before);
  int ready = 1;
  if (caughtStopSignal() == 0) ready = ppoll(&writable, 1, nullptr, &before);
  const int error = errno;
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  errno = error;
  return ready >= 0 || errno == EINTR;
}

// After a stop: what the descriptor takes at once. Pieces of PIPE_BUF go
// into a pipe that polls writable without waiting.
bool writeWithoutWaiting(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    pollfd writable{fd, POLLOUT, 0};
    if (poll(&writable, 1, 0) <= 0 || !(writable.revents & POLLOUT)) return false;
    const ssize_t written = write(fd, bytes.data(), std::min<size_t>(bytes.size(), PIPE_BUF));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

}  // namespace

bool writeAll(int fd, std::string_view bytes, Waiting waiting) {
  const bool untilStop = waiting == Waiting::UntilStop;
  while (!bytes.empty()) {
    if (untilStop) {
      if (caughtStopSignal() != 0) return writeWithoutWaiting(fd, bytes);
      // A piece the descriptor takes without waiting, once it polls
      // writable: the wait is where a stop is noticed.
      if (!waitWritable(fd, true)) return false;
      if (caughtStopSignal() != 0) continue;
    }
    const size_t piece = untilStop ? std::min<size_t>(bytes.size(), PIPE_BUF) : bytes.size();
    const ssize_t written = write(fd, bytes.data(), piece);
    if (written >= 0) {
      bytes.remove_prefix(static_cast<size_t>(written));
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
    if (!untilStop && !waitWritable(fd, false)) return false;
  }
  return true;
}

}  // namespace tavrin
