#include "platform/windows/win32_terminal.h"

#include <algorithm>

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace tavrin {
namespace {

bool isConsole(HANDLE handle, DWORD& mode) {
  return handle != INVALID_HANDLE_VALUE && handle != nullptr && GetConsoleMode(handle, &mode) != 0;
}

}  // namespace

Win32Terminal::Win32Terminal() : error_(GetStdHandle(STD_ERROR_HANDLE)) {}

Win32Terminal::~Win32Terminal() {
  if (modeChanged_) SetConsoleMode(error_, originalMode_);
}

TerminalFacts Win32Terminal::facts() {
  TerminalFacts facts;
  DWORD mode = 0;
  facts.interactive = isConsole(error_, mode);
  if (!facts.interactive) return facts;
  const DWORD wanted = mode | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING;
  if (!modeChanged_ && (mode & wanted) != wanted && SetConsoleMode(error_, wanted)) {
    originalMode_ = mode;
    modeChanged_ = true;
  }
  DWORD now = 0;
  facts.controlSequences = GetConsoleMode(error_, &now) && (now & ENABLE_VIRTUAL_TERMINAL_PROCESSING);
  DWORD outputMode = 0;
  facts.consoleShown = isConsole(GetStdHandle(STD_OUTPUT_HANDLE), outputMode);
  return facts;
}

unsigned Win32Terminal::width() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!GetConsoleScreenBufferInfo(error_, &info)) return 0;
  const int columns = info.srWindow.Right - info.srWindow.Left + 1;
  return columns > 0 ? static_cast<unsigned>(columns) : 0;
}

// Status text that cannot be written is dropped; the run goes on.
void Win32Terminal::write(std::wstring_view text) {
  while (!text.empty()) {
    DWORD written = 0;
    const DWORD count = static_cast<DWORD>(std::min<size_t>(text.size(), 16 * 1024));
    if (!WriteConsoleW(error_, text.data(), count, &written, nullptr) || written == 0) return;
    text.remove_prefix(std::min<size_t>(written, text.size()));
  }
}

}  // namespace tavrin
