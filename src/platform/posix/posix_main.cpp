// The Linux program's entry: byte arguments in, the command line run.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string>
#include <vector>

#include "main.h"
#include "platform/posix/posix_platform.h"
#include "platform/posix/posix_signals.h"
#include "platform/text.h"

namespace {

// A program started with descriptor 0, 1 or 2 closed would hand that number
// to the first file it opens, and console text would land in the result
// file. Each closed one gets /dev/null before anything else is opened.
void openStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free number is taken: this one, as the lower ones are open.
    if (open("/dev/null", O_RDWR) != fd) _exit(127);  // nothing safe to run with
  }
}

}  // namespace

int main(int argc, char** argv) {
  openStandardDescriptors();
  // A reader that goes away (tavrin listall | head) must not end the run.
  std::signal(SIGPIPE, SIG_IGN);
  // Nor a file-size limit (ulimit -f, LimitFSIZE=): the write that would pass
  // it fails with EFBIG instead, and the records go on as on a full disk.
  std::signal(SIGXFSZ, SIG_IGN);
  tavrin::catchStopSignals();
  std::vector<std::wstring> args;
  args.reserve(static_cast<size_t>(argc));
  for (int i = 0; i < argc; ++i) args.push_back(tavrin::toWide(argv[i]));
  int status = 0;
  {
    // The run and then the platform end first: pending records and console
    // text are written and the result file is closed before a caught signal
    // ends the process.
#ifdef TAVRIN_WALK_ONLY
    const auto platform = std::make_unique<tavrin::PosixPlatform>(tavrin::PosixSystemFiles{.readTables = false});
#else
    const std::unique_ptr<tavrin::Platform> platform = tavrin::createNativePlatform();
#endif
    status = tavrin::runCommandLine(args, *platform);
  }
  tavrin::endByCaughtStopSignal();
  return status;
}
