// The Linux platform where a run could lose or misdirect data: stop signals,
// a non-blocking console, entries reached only through their open folder,
// and mount points inside a tree. End-to-end cases are in tests/ntfs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <csignal>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "platform/posix/posix_fd.h"
#include "platform/posix/posix_io.h"
#include "platform/posix/posix_platform.h"
#include "platform/posix/posix_signals.h"
#include "platform/posix/posix_xattr.h"
#include "platform/text.h"

namespace tavrin {
namespace {

class TempFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/tavrin-safety-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(name));
    dir_ = name;
  }
  void TearDown() override { ASSERT_EQ(0, system(("rm -rf '" + dir_ + "'").c_str())); }
  std::string at(const std::string& name) const { return dir_ + "/" + name; }

  std::map<std::wstring, FindEntry> list(PosixPlatform& platform, const std::string& folder) {
    std::map<std::wstring, FindEntry> entries;
    FindEntry entry;
    auto search = platform.findFirstFile(toWide(folder) + L"/*", entry);
    if (!search) return entries;
    do {
      entries[entry.name] = entry;
    } while (search->next(entry));
    return entries;
  }

  std::string dir_;
};

// The signal is caught, the run is told to stop, and the process then ends
// as the signal would have ended it. Each case runs in a child process.
TEST(StopSignals, CaughtThenRaisedAgain) {
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    EXPECT_EXIT(
        {
          catchStopSignals();
          PosixPlatform platform;
          if (platform.stopRequested()) _exit(10);
          raise(signal);
          if (caughtStopSignal() != signal || !platform.stopRequested()) _exit(11);
          endByCaughtStopSignal();
          _exit(12);
        },
        ::testing::KilledBySignal(signal), "")
        << signal;
  }
}

TEST(StopSignals, IgnoredOnesStayIgnoredAndNoneCaughtEndsNothing) {
  EXPECT_EXIT(
      {
        std::signal(SIGHUP, SIG_IGN);
        catchStopSignals();
        raise(SIGHUP);
        endByCaughtStopSignal();
        _exit(caughtStopSignal() == 0 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(StopSignals, SecondSignalIsNotCaught) {
  EXPECT_EXIT(
      {
        catchStopSignals();
        raise(SIGTERM);
        raise(SIGTERM);
        _exit(0);
      },
      ::testing::KilledBySignal(SIGTERM), "");
}

// After a stop, a folder being listed yields nothing more: the walk ends at
// once instead of reading a huge folder first.
TEST_F(TempFolder, StopEndsAListing) {
  for (int i = 0; i < 10; ++i) std::ofstream(at("f" + std::to_string(i))) << "x";
  EXPECT_EXIT(
      {
        catchStopSignals();
        raise(SIGINT);
        PosixPlatform platform;
        FindEntry entry;
        const bool none = platform.findFirstFile(toWide(dir_) + L"/*", entry) == nullptr;
        _exit(none && entry.attributes == 0 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

// A reader slower than the writer on a pipe left non-blocking: every byte
// arrives. A closed pipe ends the writing with false.
TEST(WriteAll, WaitsForASlowReaderOfANonBlockingPipe) {
  int ends[2];
  ASSERT_EQ(0, pipe2(ends, O_CLOEXEC));
  UniqueFd readEnd(ends[0]);
  UniqueFd writeEnd(ends[1]);
  ASSERT_EQ(0, fcntl(writeEnd.get(), F_SETFL, O_NONBLOCK));
  const std::string text(1 << 20, 'r');
  size_t received = 0;
  std::thread reader([&] {
    char chunk[4096];
    ssize_t length = 0;
    while ((length = read(readEnd.get(), chunk, sizeof chunk)) > 0) {
      received += static_cast<size_t>(length);
      if (received % (64 * 4096) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  EXPECT_TRUE(writeAll(writeEnd.get(), text));
  writeEnd = UniqueFd();
  reader.join();
  EXPECT_EQ(text.size(), received);

  ASSERT_EQ(0, pipe2(ends, O_CLOEXEC));
  close(ends[0]);
  const auto previous = std::signal(SIGPIPE, SIG_IGN);
  EXPECT_FALSE(writeAll(ends[1], "gone"));
  std::signal(SIGPIPE, previous);
  close(ends[1]);
}

// Console writes wait for a slow reader until a stop comes: then only what
// the pipe takes at once goes out, and the write gives up on the rest. A
// stop that comes while the write waits ends the wait. The result file's
// writes still wait.
TEST(WriteAll, AStopEndsTheWaitOnAReaderThatStoppedReading) {
  EXPECT_EXIT(
      {
        catchStopSignals();
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) _exit(2);
        const std::string text(1 << 20, 'r');
        // The signal reaches the writing thread while it waits.
        const pthread_t writer = pthread_self();
        std::thread stopper([&] {
          std::this_thread::sleep_for(std::chrono::milliseconds(300));
          pthread_kill(writer, SIGTERM);
        });
        const auto start = std::chrono::steady_clock::now();
        const bool whole = writeAll(ends[1], text, Waiting::UntilStop);
        stopper.join();
        const auto waited = std::chrono::steady_clock::now() - start;
        if (whole || waited > std::chrono::seconds(20)) _exit(3);
        // Stopped already: nothing waits any more, a pipe with room still takes text.
        char drain[1 << 16];
        if (fcntl(ends[0], F_SETFL, O_NONBLOCK) != 0) _exit(6);
        while (read(ends[0], drain, sizeof drain) > 0) {
        }
        if (!writeAll(ends[1], "after the stop", Waiting::UntilStop)) _exit(4);
        if (writeAll(ends[1], text, Waiting::UntilStop)) _exit(5);
        _exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

// The thread that writes records while the walk waits takes no signal, so a
// stop signal always interrupts what the walk itself waits on.
TEST(BackgroundThread, TakesNoStopSignal) {
  PosixPlatform platform;
  sigset_t seen;
  sigemptyset(&seen);
  std::thread thread = platform.startThread([&] { pthread_sigmask(SIG_BLOCK, nullptr, &seen); });
  ASSERT_TRUE(thread.joinable());
  thread.join();
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) EXPECT_EQ(1, sigismember(&seen, signal)) << signal;
  sigset_t mine;
  pthread_sigmask(SIG_BLOCK, nullptr, &mine);
  EXPECT_EQ(0, sigismember(&mine, SIGTERM));
}

std::string userAttribute(const std::string& path) {
  char value[64];
  const ssize_t length = lgetxattr(path.c_str(), "user.tavrin", value, sizeof value);
  return length < 0 ? std::string("<none>") : std::string(value, static_cast<size_t>(length));
}

// The folder of an open listing renamed and a link put in its place: reads
// and writes through the folder still reach its own files, never the
// link's target. Final links are not followed either.
TEST_F(TempFolder, AttributesGoThroughTheOpenFolderOnly) {
  for (const char* name : {"tree", "elsewhere"}) mkdir(at(name).c_str(), 0755);
  for (const char* name : {"tree/f", "elsewhere/f"}) std::ofstream(at(name)) << "x";
  if (lsetxattr(at("tree/f").c_str(), "user.tavrin", "own", 3, 0) != 0) {
    GTEST_SKIP() << "no user attributes on " << dir_;
  }
  ASSERT_EQ(0, lsetxattr(at("elsewhere/f").c_str(), "user.tavrin", "far", 3, 0));
  symlink("f", at("tree/link").c_str());
  const UniqueFd folder(open(at("tree").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_TRUE(folder.valid());
  ASSERT_EQ(0, rename(at("tree").c_str(), at("moved").c_str()));
  ASSERT_EQ(0, symlink("elsewhere", at("tree").c_str()));

  char value[64];
  EXPECT_EQ(3, getEntryAttribute(folder.get(), "f", "user.tavrin", value, sizeof value));
  EXPECT_EQ("own", std::string(value, 3));
  EXPECT_EQ(0, setEntryAttribute(folder.get(), "f", "user.tavrin", "new", 3));
  EXPECT_EQ("new", userAttribute(at("moved/f")));
  EXPECT_EQ("far", userAttribute(at("elsewhere/f")));
  // A link entry is asked about itself (which has no user attributes).
  EXPECT_EQ(-1, getEntryAttribute(folder.get(), "link", "user.tavrin", value, sizeof value));
  EXPECT_NE(0, setEntryAttribute(folder.get(), "link", "user.tavrin", "bad", 3));
  EXPECT_EQ("new", userAttribute(at("moved/f")));
  // By path (a root): the path as it is now.
  EXPECT_EQ(3, getEntryAttribute(AT_FDCWD, at("tree/f").c_str(), "user.tavrin", value, sizeof value));
  EXPECT_EQ("far", std::string(value, 3));
}

// False where / is a plain folder of a bigger mount (a chroot): the mount
// table then names no mount at /, and / cannot be made private to hide /proc.
bool rootIsMountPoint() {
  std::ifstream table("/proc/self/mountinfo");
  std::string line;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string field;
    for (int i = 0; i < 5 && fields >> field; ++i) {
    }
    if (field == "/") return true;
  }
  return false;
}

// Kernels before 6.13 answer ENOSYS to getxattrat and setxattrat, and a
// sandbox's seccomp filter EPERM: the calls then go through /proc and the
// folder's descriptor or, with /proc hidden, through the folder as working
// directory, still never the path, and the working directory is given back.
// Each child process makes the kernel answer so with a seccomp filter, and
// hides /proc under a tmpfs in a mount namespace of its own.
TEST_F(TempFolder, WithoutTheAtCallsTheFolderIsStillTheWay) {
  mkdir(at("tree").c_str(), 0755);
  mkdir(at("elsewhere").c_str(), 0755);
  std::ofstream(at("tree/f")) << "x";
  std::ofstream(at("elsewhere/f")) << "x";
  if (lsetxattr(at("tree/f").c_str(), "user.tavrin", "own", 3, 0) != 0) {
    GTEST_SKIP() << "no user attributes on " << dir_;
  }
  const auto load = [](uint32_t k) {
    return sock_filter{BPF_LD | BPF_W | BPF_ABS, 0, 0, k};
  };
  const auto jumpIf = [](uint32_t k, uint8_t yes) {
    return sock_filter{BPF_JMP | BPF_JEQ | BPF_K, yes, 0, k};
  };
  const auto answer = [](uint32_t k) { return sock_filter{BPF_RET | BPF_K, 0, 0, k}; };
  // Hiding /proc needs root and a root that is a mount point.
  const bool canHideProc = geteuid() == 0 && rootIsMountPoint();
  for (const uint32_t refusal : {uint32_t{ENOSYS}, uint32_t{EPERM}}) {
    for (const bool hideProc : {false, true}) {
      if (hideProc && !canHideProc) continue;
      sock_filter program[] = {load(offsetof(seccomp_data, nr)), jumpIf(463, 2), jumpIf(464, 1),
                               answer(SECCOMP_RET_ALLOW), answer(SECCOMP_RET_ERRNO | refusal)};
      const sock_fprog filter{static_cast<unsigned short>(std::size(program)), program};
      EXPECT_EXIT(
          {
            if (hideProc && (unshare(CLONE_NEWNS) != 0 ||
                             mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                             mount("none", "/proc", "tmpfs", 0, nullptr) != 0)) {
              _exit(5);
            }
            if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
                prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0) {
              _exit(2);
            }
            char before[PATH_MAX];
            char after[PATH_MAX];
            if (!getcwd(before, sizeof before)) _exit(6);
            const UniqueFd folder(open(at("tree").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            rename(at("tree").c_str(), at("moved").c_str());
            symlink("elsewhere", at("tree").c_str());
            char value[8];
            if (getEntryAttribute(folder.get(), "f", "user.tavrin", value, sizeof value) != 3 ||
                std::string(value, 3) != "own") {
              _exit(3);
            }
            if (setEntryAttribute(folder.get(), "f", "user.tavrin", "new", 3) != 0) _exit(9);
            // A missing entry is missing, not found elsewhere.
            if (getEntryAttribute(folder.get(), "gone", "user.tavrin", value, sizeof value) != -1 ||
                errno != ENOENT) {
              _exit(7);
            }
            if (!getcwd(after, sizeof after) || std::string(before) != after) _exit(8);
            _exit(userAttribute(at("moved/f")) == "new" && userAttribute(at("elsewhere/f")) == "<none>"
                      ? 0
                      : 4);
          },
          ::testing::ExitedWithCode(0), "")
          << "refused with " << refusal << (hideProc ? ", /proc hidden" : "");
      rename(at("moved").c_str(), at("tree.done").c_str());
      unlink(at("tree").c_str());
      rename(at("tree.done").c_str(), at("tree").c_str());
      lsetxattr(at("tree/f").c_str(), "user.tavrin", "own", 3, 0);
    }
  }
  if (geteuid() == 0 && !canHideProc) {
    GTEST_SKIP() << "SKIP: the cases with /proc hidden: / is not a mount point (a chroot); "
                    "bind-mount the root onto itself first (mount --bind DIR DIR) or use unshare -R DIR";
  }
}

// The same through the platform, as the walk uses it: a word read while the
// folder is listed comes from the listed folder after the swap too.
TEST_F(TempFolder, WordsOfAListedFolderSurviveASwap) {
  for (const char* name : {"tree", "tree/x", "elsewhere"}) mkdir(at(name).c_str(), 0755);
  std::ofstream(at("tree/x/f")) << "x";
  std::ofstream(at("elsewhere/f")) << "x";
  chmod(at("tree/x/f").c_str(), 0444);
  PosixPlatform platform;
  FindEntry entry;
  auto outer = platform.findFirstFile(toWide(at("tree")) + L"/*", entry);
  auto inner = platform.findFirstFile(toWide(at("tree/x")) + L"/*", entry);
  ASSERT_NE(nullptr, inner);
  ASSERT_EQ(0, rename(at("tree/x").c_str(), at("tree/y").c_str()));
  ASSERT_EQ(0, symlink(at("elsewhere").c_str(), at("tree/x").c_str()));
  EXPECT_EQ(0x21u, platform.getFileAttributes(toWide(at("tree/x/f"))));
}

// Where the kernel cannot tell a mount root, the mount table does: a folder
// listed there as a mount point reads as a directory reparse point.
TEST_F(TempFolder, MountPointsFromTheMountTable) {
  for (const char* name : {"m", "n", "m x"}) mkdir(at(name).c_str(), 0755);
  const std::string table = at("mountinfo");
  std::string escaped = dir_ + "/m\\040x";
  std::ofstream(table) << "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n"
                       << "2 1 0:50 / " << dir_ << "/m rw - tmpfs none rw\n"
                       << "3 1 0:51 / " << escaped << " rw - tmpfs none rw\n";
  PosixSystemFiles files;
  files.mountInfo = table;
  files.kernelMarksMountRoots = false;
  PosixPlatform fromTable(files);
  auto entries = list(fromTable, dir_);
  EXPECT_EQ(0x410u, entries[L"m"].attributes);
  EXPECT_TRUE(entries[L"m"].nameSurrogate);
  EXPECT_EQ(0x410u, entries[L"m x"].attributes);
  EXPECT_EQ(0x10u, entries[L"n"].attributes);
  EXPECT_FALSE(entries[L"n"].nameSurrogate);
  EXPECT_EQ(0x10u, entries[L"."].attributes);

  // The kernel's word wins where it has one: none of these is a mount.
  files.kernelMarksMountRoots = true;
  PosixPlatform fromKernel(files);
  entries = list(fromKernel, dir_);
  EXPECT_EQ(0x10u, entries[L"m"].attributes);
  EXPECT_EQ(0x10u, entries[L"m x"].attributes);
}

}  // namespace
}  // namespace tavrin
