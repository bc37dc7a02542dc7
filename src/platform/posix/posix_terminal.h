// Standard error as a terminal, for the Linux program's status line.
#pragma once

#include <string_view>

#include "platform/platform.h"

namespace tavrin {

// `statusFd` is a terminal a person watches: a terminal whose type `term`
// (the TERM variable) is set and not "dumb". Such terminals follow control
// sequences. `consoleFd` (standard output) is asked only whether it is a
// terminal too.
TerminalFacts terminalFacts(int statusFd, int consoleFd, const char* term);
// The width of the terminal at `fd` in columns; 0 when it does not say.
unsigned terminalWidth(int fd);
// Writes `text` to `fd` whole, as UTF-8 (names' raw bytes as they are).
void writeTerminal(int fd, std::wstring_view text);

}  // namespace tavrin
