// The Linux platform's side of the file-table reader on an ordinary file
// system: the folders of a tree are reached from the root name by name, each
// checked to be the record (inode) the table names, and the files in them
// are read through the folder, never by their paths.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/posix/posix_platform.h"
#include "platform/text.h"

namespace tavrin {
namespace {

uint64_t inode(const std::string& path) {
  struct stat status {};
  return lstat(path.c_str(), &status) == 0 ? status.st_ino : 0;
}

void makeFile(const std::string& path, mode_t mode) {
  const int fd = open(path.c_str(), O_CREAT | O_WRONLY, mode);
  ASSERT_GE(fd, 0);
  close(fd);
  chmod(path.c_str(), mode);
}

class TableFolders : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tavrin-table-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    root = pattern;
    ASSERT_EQ(0, mkdir((root + "/a").c_str(), 0755));
    ASSERT_EQ(0, mkdir((root + "/a/b").c_str(), 0755));
    makeFile(root + "/a/b/f", 0644);  // reads 0x20
    ASSERT_EQ(0, mkdir((root + "/elsewhere").c_str(), 0755));
    makeFile(root + "/elsewhere/f", 0444);  // reads 0x21
  }
  void TearDown() override { system(("rm -rf '" + root + "'").c_str()); }

  // The steps to a/b as the table would give them, from the inodes now.
  std::vector<TableStep> steps() {
    const size_t length = root.size();
    return {{length, inode(root)}, {length + 2, inode(root + "/a")}, {length + 4, inode(root + "/a/b")}};
  }

  std::string root;
  PosixPlatform platform;
};

TEST_F(TableFolders, ReadsAFileThroughItsFolderEvenWhenThePathIsSwappedLater) {
  const std::vector<TableStep> way = steps();
  const std::wstring file = toWide(root + "/a/b/f");
  ASSERT_TRUE(platform.enterTableFolder(file, way));
  EXPECT_EQ(0x20u, platform.getFileAttributes(file));
  // a becomes a link to elsewhere: the open folder still is the tree's b.
  ASSERT_EQ(0, rename((root + "/a").c_str(), (root + "/a.old").c_str()));
  ASSERT_EQ(0, symlink((root + "/elsewhere").c_str(), (root + "/a").c_str()));
  ASSERT_EQ(0, mkdir((root + "/elsewhere/b").c_str(), 0755));
  makeFile(root + "/elsewhere/b/f", 0444);
  EXPECT_EQ(0x20u, platform.getFileAttributes(file));
  // Reached afresh, the link is never followed: the folder cannot be entered.
  platform.leaveTableFolders();
  EXPECT_FALSE(platform.enterTableFolder(file, way));
}

TEST_F(TableFolders, RefusesAFolderThatIsNotTheTablesRecord) {
  std::vector<TableStep> way = steps();
  way[1].record += 1000;  // the table names another a
  EXPECT_FALSE(platform.enterTableFolder(toWide(root + "/a/b/f"), way));
  way = steps();
  ASSERT_EQ(0, rename((root + "/a/b").c_str(), (root + "/a/b.old").c_str()));
  ASSERT_EQ(0, mkdir((root + "/a/b").c_str(), 0755));  // same name, another folder
  EXPECT_FALSE(platform.enterTableFolder(toWide(root + "/a/b/f"), way));
}

}  // namespace
}  // namespace tavrin
