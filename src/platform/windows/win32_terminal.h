// Standard error as a console, for tavrin.exe's status line and summary.
#pragma once

#include <windows.h>

#include <string_view>

#include "platform/platform.h"

namespace tavrin {

class Win32Terminal {
 public:
  Win32Terminal();
  // Gives the console back the mode it had: the platform's destructor runs
  // this on every way out of a run, a stop by Ctrl+C included.
  ~Win32Terminal();
  Win32Terminal(const Win32Terminal&) = delete;
  Win32Terminal& operator=(const Win32Terminal&) = delete;

  // A console, when it is one; then control sequences are turned on where
  // the console has them (every Windows 10 console), else lines are padded.
  TerminalFacts facts();
  unsigned width();
  void write(std::wstring_view text);

 private:
  HANDLE error_;  // standard error; not ours to close
  DWORD originalMode_ = 0;
  bool modeChanged_ = false;
};

}  // namespace tavrin
