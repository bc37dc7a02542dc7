#include "platform/windows/win32_process.h"

namespace tavrin {
namespace {

// Set by the handler threads, read by the run: the one flag they share.
volatile LONG stopEvent = 0;

// Set once the records are written; the session window waits for it.
HANDLE finishedEvent() {
  static const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return event;
}

BOOL WINAPI onConsoleEvent(DWORD event) {
  switch (consoleEventAction(event, stopEventCame())) {
    case ConsoleEventAction::NotOurs:
      return FALSE;
    case ConsoleEventAction::EndNow:
      // Not ExitProcess: the run's thread may hold locks it would wait for.
      TerminateProcess(GetCurrentProcess(), kStatusControlCExit);
      return TRUE;
    case ConsoleEventAction::Stop:
      break;
  }
  InterlockedExchange(&stopEvent, 1);
  // Handled: the run goes on to the next file boundary. The handler
  // returns, so that the next event reaches it (events come one at a time).
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
  // For the others the system ends the process as soon as a handler
  // returns: the records are written first.
  WaitForSingleObject(finishedEvent(), INFINITE);
  return TRUE;
}

DWORD WINAPI sessionWindowThread(void*) {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = sessionWindowProcedure;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = L"tavrin session";
  if (!RegisterClassW(&windowClass)) return 0;
  // Top-level and never shown: a message-only window is not sent the
  // end-of-session broadcast.
  if (!CreateWindowExW(0, windowClass.lpszClassName, L"tavrin", WS_OVERLAPPED, 0, 0, 0, 0, nullptr,
                       nullptr, instance, nullptr)) {
    return 0;
  }
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
  return 0;
}

}  // namespace

ConsoleEventAction consoleEventAction(DWORD event, bool stopAskedFor) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      return stopAskedFor ? ConsoleEventAction::EndNow : ConsoleEventAction::Stop;
    default:
      return ConsoleEventAction::NotOurs;
  }
}

LRESULT CALLBACK sessionWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_QUERYENDSESSION:
      return TRUE;  // the run never holds the session up; it stops when it ends
    case WM_ENDSESSION:
      if (wParam) {
        InterlockedExchange(&stopEvent, 1);
        // Records are at most a second old: writing them takes far less
        // than the seconds the system waits.
        WaitForSingleObject(finishedEvent(), INFINITE);
      }
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

void installStopHandler() {
  finishedEvent();  // made before any thread waits for it
  SetConsoleCtrlHandler(onConsoleEvent, TRUE);
  // No session ends under Wine the way a Windows session does, and without
  // a display Wine makes no window at all: trying starts a desktop process,
  // a tenth of a second of work for nothing.
  if (runningUnderWine()) return;
  HANDLE thread = CreateThread(nullptr, 64 * 1024, sessionWindowThread, nullptr,
                               STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (thread) CloseHandle(thread);
}

bool stopEventCame() { return InterlockedCompareExchange(&stopEvent, 0, 0) != 0; }

void runFinished() { SetEvent(finishedEvent()); }

void forgetStopForTesting() {
  InterlockedExchange(&stopEvent, 0);
  ResetEvent(finishedEvent());
}

HANDLE usableStandardOutput() {
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  if (output == INVALID_HANDLE_VALUE || output == nullptr) return nullptr;
  SetLastError(NO_ERROR);
  if (GetFileType(output) == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR) return nullptr;
  return output;
}

bool runningUnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace tavrin
