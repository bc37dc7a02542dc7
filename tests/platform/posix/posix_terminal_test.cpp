// Standard error as a terminal on Linux: which descriptors count, the width,
// and the bytes written.
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <string>

#include "platform/posix/posix_fd.h"
#include "platform/posix/posix_platform.h"
#include "platform/posix/posix_terminal.h"

namespace tavrin {
namespace {

class PosixTerminalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int master = -1;
    int slave = -1;
    winsize size{};
    size.ws_col = 97;
    size.ws_row = 30;
    if (openpty(&master, &slave, nullptr, nullptr, &size) != 0) {
      GTEST_SKIP() << "SKIP: no pseudo-terminal to be had (a chroot without /dev/pts): "
                      "mount -t devpts devpts /dev/pts inside it";
    }
    master_ = UniqueFd(master);
    slave_ = UniqueFd(slave);
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    readEnd_ = UniqueFd(fds[0]);
    writeEnd_ = UniqueFd(fds[1]);
  }

  UniqueFd master_, slave_, readEnd_, writeEnd_;
};

TEST_F(PosixTerminalTest, OnlyATerminalOfAKnownTypeCounts) {
  const TerminalFacts both = terminalFacts(slave_.get(), slave_.get(), "xterm-256color");
  EXPECT_TRUE(both.interactive);
  EXPECT_TRUE(both.controlSequences);
  EXPECT_TRUE(both.consoleShown);
  const TerminalFacts outputElsewhere = terminalFacts(slave_.get(), writeEnd_.get(), "screen");
  EXPECT_TRUE(outputElsewhere.interactive);
  EXPECT_FALSE(outputElsewhere.consoleShown);
  EXPECT_FALSE(terminalFacts(slave_.get(), slave_.get(), "dumb").interactive);
  EXPECT_FALSE(terminalFacts(slave_.get(), slave_.get(), "").interactive);
  EXPECT_FALSE(terminalFacts(slave_.get(), slave_.get(), nullptr).interactive);
  const TerminalFacts redirected = terminalFacts(writeEnd_.get(), slave_.get(), "xterm");
  EXPECT_FALSE(redirected.interactive);
  EXPECT_FALSE(redirected.consoleShown);
}

TEST_F(PosixTerminalTest, WidthAndBytes) {
  EXPECT_EQ(97u, terminalWidth(slave_.get()));
  EXPECT_EQ(0u, terminalWidth(writeEnd_.get()));
  // A name's undecodable byte goes out as that byte.
  writeTerminal(writeEnd_.get(), L"\rlist 世 \xDCFF\x1b[K");
  writeEnd_ = UniqueFd();
  std::string bytes(64, '\0');
  bytes.resize(static_cast<size_t>(read(readEnd_.get(), bytes.data(), bytes.size())));
  EXPECT_EQ("\rlist \xE4\xB8\x96 \xFF\x1b[K", bytes);
}

// Console text on a terminal: a name cannot steer it. (Redirected, the bytes
// stay: see the console tests of the Linux platform.)
TEST_F(PosixTerminalTest, ConsoleTextShowsControlCharactersEscaped) {
  {
    PosixPlatform platform({}, slave_.get());
    platform.writeConsole(L"\n32, /x/e\x1b[2J\xDCFF\tz");
  }
  std::string bytes(64, '\0');
  bytes.resize(static_cast<size_t>(read(master_.get(), bytes.data(), bytes.size())));
  EXPECT_EQ("\r\n32, /x/e\\x1b[2J\\xff\tz", bytes);  // the terminal adds the \r
}

}  // namespace
}  // namespace tavrin
