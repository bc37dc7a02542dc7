// The Linux result file at the ends of a run: the folder the missing-folder
// hint makes, and taking back the empty file of a failed run.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "platform/posix/posix_platform.h"
#include "platform/text.h"

namespace tavrin {
namespace {

class PosixResultFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/tavrin-result-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(name));
    dir_ = name;
  }
  void TearDown() override { ASSERT_EQ(0, system(("rm -rf '" + dir_ + "'").c_str())); }

  std::string at(const std::string& name) const { return dir_ + "/" + name; }
  bool exists(const std::string& name) const { return access(at(name).c_str(), F_OK) == 0; }

  PosixPlatform platform_;
  std::string dir_;
};

// The hint is what the package's postinst runs: the folder root's (the
// hint's user), mode 0750, whatever the umask, so nobody else reads results.
TEST_F(PosixResultFile, TheMissingFolderHintMakesWhatThePackageMakes) {
  EXPECT_EQ(L"install -d -m 0750 /var/lib/Norvane/Wickline",
            platform_.makeFolderCommand(L"/var/lib/Norvane/Wickline"));
  const std::string folder = at("lib/Norvane/Wickline");
  const std::string command = "umask 000 && " + toBytes(platform_.makeFolderCommand(toWide(folder)));
  ASSERT_EQ(0, system(command.c_str()));
  struct stat made {};
  ASSERT_EQ(0, stat(folder.c_str(), &made));
  EXPECT_TRUE(S_ISDIR(made.st_mode));
  EXPECT_EQ(0750u, made.st_mode & 07777);
  EXPECT_EQ(geteuid(), made.st_uid);
}

TEST_F(PosixResultFile, AnEmptyFileOfOurOwnIsRemoved) {
  CreateFailure why = CreateFailure::Other;
  auto file = platform_.createResultFile(toWide(at("1badFiles.txt")), why);
  ASSERT_NE(nullptr, file);
  EXPECT_TRUE(file->removeIfEmpty());
  EXPECT_FALSE(exists("1badFiles.txt"));
}

TEST_F(PosixResultFile, AFileWithRecordsOrAnotherInItsPlaceStays) {
  CreateFailure why = CreateFailure::Other;
  auto written = platform_.createResultFile(toWide(at("2badFiles.txt")), why);
  ASSERT_NE(nullptr, written);
  ASSERT_TRUE(written->write(L"\n12583, /mnt/c/a.exe"));
  EXPECT_FALSE(written->removeIfEmpty());
  EXPECT_TRUE(exists("2badFiles.txt"));

  // Someone put an empty file of theirs in its place: it is not ours.
  auto replaced = platform_.createResultFile(toWide(at("3badFiles.txt")), why);
  ASSERT_NE(nullptr, replaced);
  std::ofstream(at("other")).flush();
  ASSERT_EQ(0, rename(at("other").c_str(), at("3badFiles.txt").c_str()));
  EXPECT_FALSE(replaced->removeIfEmpty());
  EXPECT_TRUE(exists("3badFiles.txt"));

  // Or a link to a file of theirs.
  auto linked = platform_.createResultFile(toWide(at("4badFiles.txt")), why);
  ASSERT_NE(nullptr, linked);
  std::ofstream(at("target")).flush();
  ASSERT_EQ(0, unlink(at("4badFiles.txt").c_str()));
  ASSERT_EQ(0, symlink(at("target").c_str(), at("4badFiles.txt").c_str()));
  EXPECT_FALSE(linked->removeIfEmpty());
  EXPECT_TRUE(exists("4badFiles.txt"));
  EXPECT_TRUE(exists("target"));
}

}  // namespace
}  // namespace tavrin
