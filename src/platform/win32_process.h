// What tavrin.exe takes over from the process it runs in: console control
// events and the standard output handle.
#pragma once

#include <windows.h>

namespace tavrin {

// How a run stopped by Ctrl+C ends, as the default handler would end it.
inline constexpr UINT kStatusControlCExit = 0xC000013A;

// Ctrl+C, Ctrl+Break, console close, logoff and shutdown ask the run to
// stop at the next file boundary. The handler then waits: the entry ends
// the process once the records are written (for close, logoff and shutdown
// the system ends it as soon as a handler returns).
void installStopHandler();
// True once one of those events came.
bool stopEventCame();

// The standard output, or null when there is none or the value the parent
// left is not a valid handle here: such a value may later be given to a
// file this process opens (the result file), and console text must never
// go there.
HANDLE usableStandardOutput();

}  // namespace tavrin
