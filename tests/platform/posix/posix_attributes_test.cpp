// The NTFS word as Windows reports it, whichever driver read it: ntfs3's own
// directory flag, a stored 0, and which reparse points are directories.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/platform.h"
#include "platform/posix/posix_attributes.h"

namespace tavrin {
namespace {

TEST(WindowsWord, Ntfs3DirectoryFlagBecomesTheDirectoryBit) {
  EXPECT_EQ(0x36u, windowsWord(0x10000026));    // ntfs3's volume root
  EXPECT_EQ(0x30u, windowsWord(0x10000020));    // a folder
  EXPECT_EQ(0x810u, windowsWord(0x10000800));   // a compressed folder
  EXPECT_EQ(0x10u, windowsWord(0x10000000));    // nothing else set
  EXPECT_EQ(0x3137u, windowsWord(0x10003127));  // never the suspect word
  EXPECT_EQ(0x3137u, windowsWord(0x3137));      // ntfs-3g's folder as it is
}

TEST(WindowsWord, StoredZeroReadsNormalAndOtherWordsStay) {
  EXPECT_EQ(0x80u, windowsWord(0));
  for (const uint32_t word : {0x3127u, 0x3126u, 0x20u, 0x24u, 0x80u, 0x420u, 0x430u, 0x1u}) {
    EXPECT_EQ(word, windowsWord(word)) << std::hex << word;
  }
}

TEST(ReparseWord, JunctionsAndDanglingLinksAreDirectories) {
  // ntfs3 shows a junction as 0x420: on the volume it resolves to a folder,
  // to another drive it dangles; both are directory reparse points.
  EXPECT_TRUE(needsLinkTarget(0x420));
  EXPECT_EQ(0x430u, reparseWord(0x420, LinkTarget::Directory));
  EXPECT_EQ(0x430u, reparseWord(0x420, LinkTarget::Missing));
  EXPECT_EQ(0x3537u, reparseWord(0x3527, LinkTarget::Missing));
  // A link to a file stays a file reparse point, handed to the rule.
  EXPECT_EQ(0x420u, reparseWord(0x420, LinkTarget::File));
}

TEST(ReparseWord, OnlyTheReparseBitMakesALink) {
  // ntfs-3g's own links (0x24) are files whatever Linux shows; words that
  // are directories already need no target.
  for (const uint32_t word : {0x24u, 0x3127u, 0x20u, 0x430u, 0x410u, 0x30u}) {
    EXPECT_FALSE(needsLinkTarget(word)) << std::hex << word;
    for (const LinkTarget target : {LinkTarget::File, LinkTarget::Directory, LinkTarget::Missing}) {
      EXPECT_EQ(word, reparseWord(word, target)) << std::hex << word;
    }
  }
}

// The target lookup on real links (a file system without NTFS words stands
// in for the volume: only the stored word passed in differs).
TEST(NtfsWordAt, LooksUpWhereAReparsePointLeads) {
  char name[] = "/tmp/tavrin-words-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(name));
  const std::string dir = name;
  ASSERT_EQ(0, mkdir((dir + "/tgt").c_str(), 0755));
  ASSERT_EQ(0, close(open((dir + "/file").c_str(), O_CREAT | O_WRONLY, 0644)));
  ASSERT_EQ(0, symlink("tgt", (dir + "/junc").c_str()));
  ASSERT_EQ(0, symlink("file", (dir + "/flink").c_str()));
  ASSERT_EQ(0, symlink("/nonexistent/D:/data", (dir + "/away").c_str()));
  const int fd = open(name, O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);

  EXPECT_EQ(0x430u, ntfsWordAt(fd, "junc", 0x420));
  EXPECT_EQ(0x430u, ntfsWordAt(fd, "away", 0x420));
  EXPECT_EQ(0x420u, ntfsWordAt(fd, "flink", 0x420));
  EXPECT_EQ(0x420u, ntfsWordAt(fd, "file", 0x420));  // a reparse file that is no link
  EXPECT_EQ(0x24u, ntfsWordAt(fd, "junc", 0x24));    // ntfs-3g's link to a folder: a file
  EXPECT_EQ(0x80u, ntfsWordAt(fd, "file", 0));
  EXPECT_EQ(0x30u, ntfsWordAt(fd, "tgt", 0x10000020));
  EXPECT_EQ(0x430u, ntfsWordAt(AT_FDCWD, (dir + "/away").c_str(), 0x420));

  close(fd);
  ASSERT_EQ(0, system(("rm -rf '" + dir + "'").c_str()));
}

}  // namespace
}  // namespace tavrin
