// The entry of tavrin.exe: wide arguments in, the command line's exit code out.
#include <memory>
#include <string>
#include <vector>

#include "main.h"
#include "platform/platform.h"
#include "platform/windows/win32_process.h"

// MinGW's runtime would otherwise be free to expand * and ? in the arguments;
// they must reach the command line as typed.
extern "C" {
int _dowildcard = 0;
}

int wmain(int argc, wchar_t* argv[]) {
  // Before anything is opened: the standard output is judged as inherited.
  std::unique_ptr<tavrin::Platform> platform = tavrin::createNativePlatform();
  tavrin::installStopHandler();
  const std::vector<std::wstring> args(argv, argv + argc);
  const int code = tavrin::runCommandLine(args, *platform);
  // Outlives the run: it flushes the console text still buffered.
  platform.reset();
  tavrin::runFinished();
  // A run stopped by a console event ends as that event would have ended
  // it; the handler thread waits for this.
  if (tavrin::stopEventCame()) ExitProcess(tavrin::kStatusControlCExit);
  return code;
}
