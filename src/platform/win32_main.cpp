// The entry of tavrin.exe: wide arguments in, the command line's exit code out.
#include <memory>
#include <string>
#include <vector>

#include "main.h"
#include "platform/platform.h"

// MinGW's runtime would otherwise be free to expand * and ? in the arguments;
// they must reach the command line as typed.
extern "C" {
int _dowildcard = 0;
}

int wmain(int argc, wchar_t* argv[]) {
  const std::vector<std::wstring> args(argv, argv + argc);
  // Outlives the run: it flushes the console text still buffered.
  const std::unique_ptr<tavrin::Platform> platform = tavrin::createNativePlatform();
  return tavrin::runCommandLine(args, *platform);
}
