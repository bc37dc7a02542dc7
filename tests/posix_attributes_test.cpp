// The NTFS word as Windows reports it, whichever driver read it: ntfs3's own
// directory flag, a stored 0, and which reparse points are directories.
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "platform/posix_attributes.h"

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

}  // namespace
}  // namespace tavrin
