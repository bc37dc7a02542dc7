#include "platform/posix/posix_terminal.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/posix/posix_platform.h"
#include "platform/posix/posix_signals.h"
#include "platform/text.h"

namespace tavrin {

TerminalFacts terminalFacts(int statusFd, int consoleFd, const char* term) {
  TerminalFacts facts;
  facts.interactive = isatty(statusFd) == 1 && term != nullptr && term[0] != '\0' &&
                      std::strcmp(term, "dumb") != 0;
  facts.controlSequences = facts.interactive;
  facts.consoleShown = facts.interactive && isatty(consoleFd) == 1;
  return facts;
}

unsigned terminalWidth(int fd) {
  winsize size{};
  if (ioctl(fd, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

// Status text that cannot be written is dropped; the run goes on.
void writeTerminal(int fd, std::wstring_view text) {
  const std::string bytes = toBytes(text);
  std::string_view rest = bytes;
  while (!rest.empty()) {
    const ssize_t written = write(fd, rest.data(), rest.size());
    if (written < 0 && errno == EINTR && caughtStopSignal() == 0) continue;
    if (written <= 0) return;
    rest.remove_prefix(static_cast<size_t>(written));
  }
}

TerminalFacts PosixPlatform::statusTerminal() {
  return terminalFacts(STDERR_FILENO, consoleFd_, std::getenv("TERM"));
}

unsigned PosixPlatform::statusWidth() { return terminalWidth(STDERR_FILENO); }

void PosixPlatform::writeStatus(std::wstring_view text) { writeTerminal(STDERR_FILENO, text); }

}  // namespace tavrin
