// What tavrin.exe takes over from the process it runs in: console control
// events, the end of the session, and the standard output handle.
#pragma once

#include <windows.h>

namespace tavrin {

// How a run stopped by Ctrl+C ends, as the default handler would end it.
inline constexpr UINT kStatusControlCExit = 0xC000013A;

// Ctrl+C, Ctrl+Break, closing the console, logoff and shutdown ask the run
// to stop at the next file boundary; the entry ends the process once the
// records are written (for the last three the handler holds the system
// back until then). A process that has loaded user32 (shell32 does) is
// not told of logoff and shutdown by console events: a hidden window on a
// thread of its own hears of them instead.
void installStopHandler();
// True once one of those came.
bool stopEventCame();
// The records are written: a session that is ending may end the process.
void runFinished();

// What a console event does, given whether a stop was asked for already.
enum class ConsoleEventAction {
  NotOurs,  // left to the next handler
  Stop,     // the run stops at the next file boundary
  EndNow,   // a second event: the run is stuck (a hung share, a blocked
            // pipe), so the process ends at once, as on Linux
};
ConsoleEventAction consoleEventAction(DWORD event, bool stopAskedFor);

// The hidden session window's procedure. WM_ENDSESSION for a session that
// really ends asks the run to stop and returns only after runFinished(), since
// the system may end the process as soon as it returns.
LRESULT CALLBACK sessionWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Forgets a stop, for the unit tests that ask for one.
void forgetStopForTesting();

// The standard output, or null when there is none or the value the parent
// left is not a valid handle here: such a value may later be given to a
// file this process opens (the result file), and console text must never
// go there.
HANDLE usableStandardOutput();

// Wine stands in for Windows: some of its answers differ (see the callers).
bool runningUnderWine();

}  // namespace tavrin
