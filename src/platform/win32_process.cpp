#include "platform/win32_process.h"

namespace tavrin {
namespace {

// Set by the handler thread, read by the run: the one flag they share.
volatile LONG stopEvent = 0;

BOOL WINAPI onConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      break;
    default:
      return FALSE;
  }
  InterlockedExchange(&stopEvent, 1);
  // The main thread ends the process after writing the records; returning
  // earlier would let the system end it first.
  for (;;) Sleep(INFINITE);
}

}  // namespace

void installStopHandler() { SetConsoleCtrlHandler(onConsoleEvent, TRUE); }

bool stopEventCame() { return InterlockedCompareExchange(&stopEvent, 0, 0) != 0; }

HANDLE usableStandardOutput() {
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  if (output == INVALID_HANDLE_VALUE || output == nullptr) return nullptr;
  SetLastError(NO_ERROR);
  if (GetFileType(output) == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR) return nullptr;
  return output;
}

}  // namespace tavrin
