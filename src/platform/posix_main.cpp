// The Linux program's entry: byte arguments in, the command line run.
#include <csignal>
#include <string>
#include <vector>

#include "main.h"
#include "platform/text.h"

int main(int argc, char** argv) {
  // A reader that goes away (tavrin listall | head) must not end the run.
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<std::wstring> args;
  args.reserve(static_cast<size_t>(argc));
  for (int i = 0; i < argc; ++i) args.push_back(tavrin::toWide(argv[i]));
  const std::unique_ptr<tavrin::Platform> platform = tavrin::createNativePlatform();
  return tavrin::runCommandLine(args, *platform);
}
