// What a person at a terminal sees of a run, on standard error: a status
// line rewritten in place while the run goes on, and a summary at its end.
// Only made when standard error is an interactive terminal; otherwise a run
// writes nothing there.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace tavrin {

class ScanJob;

// The status line is drawn no sooner than this into a run (small jobs stay
// quiet) and redrawn at most this often.
inline constexpr uint64_t STATUS_DELAY_MS = 500;
inline constexpr uint64_t STATUS_INTERVAL_MS = 100;

class Progress {
 public:
  Progress(Platform& platform, const TerminalFacts& facts, uint64_t now);

  // Draws the status line when one is due.
  void refresh(const ScanJob& job, uint64_t now);
  // Around every console message: the status line is erased before, so the
  // message shows as whole lines, and redrawn after when due.
  void beforeMessage(std::wstring_view text);
  void afterMessage(std::wstring_view text, const ScanJob& job, uint64_t now);
  // Writes an error line (it ends with a line feed) to standard error on a
  // line of its own, the status line erased first and redrawn after.
  void error(std::wstring_view line, const ScanJob& job, uint64_t now);
  // Erases the status line and writes the summary on a line of its own.
  void finish(const ScanJob& job, uint64_t now);

 private:
  void draw(std::wstring_view line);
  void erase(bool lineFollows);

  Platform& platform_;
  TerminalFacts facts_;
  uint64_t start_;
  uint64_t lastDraw_ = 0;
  bool drawnOnce_ = false;
  bool shown_ = false;     // the status line is on the screen
  bool below_ = false;     // it went on a line of its own below an open console line
  size_t shownWidth_ = 0;  // its columns, for erasing with blanks
  // The console's last message did not end with a line feed: the cursor
  // still sits on that message's line.
  bool consoleLineOpen_ = false;
};

// The status line of `job` after `elapsed` ms, at most `columns` columns wide.
std::wstring statusLine(const ScanJob& job, wchar_t separator, uint64_t elapsed, size_t columns);
// The summary of a finished (or stopped) run, one line feed after each line.
std::wstring summaryText(const ScanJob& job, wchar_t separator, uint64_t elapsed);

}  // namespace tavrin
