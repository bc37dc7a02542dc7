// The file-table reader on volumes made in memory, alone and driving whole
// runs on the simulated volume.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "ntfs_image.h"
#include "ntfs/table.h"
#include "scan_job.h"

namespace tavrin::test {
namespace {


std::vector<std::string> names(const FileTable& table, uint64_t folder) {
  std::vector<std::string> out;
  std::string bytes;
  for (const TableEntry& entry : table.entries(folder)) {
    nameToUtf8(entry.name, bytes);
    out.push_back(bytes);
  }
  return out;
}

// Loads `image`; the reason of a failure, or "" once loaded.
std::string load(FileTable& table, std::vector<uint8_t> image, ListingOrder order = ListingOrder::IndexBlocks) {
  ImageVolume bytes(image);
  std::string why;
  return table.load(bytes, order, why) ? "" : why;
}

TEST(FileTable, ReadsWordsFoldersNamesAndLinksLeavingOutWhatTheDriversHide) {
  NtfsImage image;
  const uint64_t a = image.addFile(5, u"a", 0x3127);
  const uint64_t b = image.addFile(5, u"b.txt", 0);
  image.addName(5, b, u"B~1.TXT", 2);  // the DOS name beside a long one
  const uint64_t d = image.addFolder(5, u"d");
  const uint64_t x = image.addFile(d, u"x", 0x21);
  image.addName(5, x, u"hard link");   // a second name of x, elsewhere
  image.addFile(5, u"$user", 0x20);    // a user's name may start with $
  image.addName(5, 0, u"$MFT");        // the volume's own files
  image.addName(5, 11, u"$Extend");
  const uint64_t quota = image.addFile(11, u"$Quota", 0x26);
  image.addName(5, quota, u"quota again");  // $Extend's, by record
  FileTable table;
  ASSERT_EQ("", load(table, image.build()));
  EXPECT_EQ((std::vector<std::string>{"a", "b.txt", "d", "hard link", "$user"}), names(table, 5));
  EXPECT_EQ((std::vector<std::string>{"x"}), names(table, d));
  EXPECT_EQ(0x3127u, table.storedWord(a));
  EXPECT_EQ(0u, table.storedWord(b));
  EXPECT_EQ(0x21u, table.storedWord(x));
  EXPECT_TRUE(table.isDirectory(d));
  EXPECT_FALSE(table.isDirectory(a));
  EXPECT_EQ(x, table.entries(5)[3].record);
}

// A folder of three blocks: the root holds "m" above block 1 and the end
// above block 0; block 2 is not in use.
NtfsImage treeOfBlocks(uint64_t records = 64) {
  NtfsImage image(records);
  const uint64_t f = image.addFolder(5, u"f");
  const auto item = [&](const char16_t* name, int subnode = -1) {
    const uint64_t record = image.addFile(5, name);
    return NtfsImage::Item{record, name, 1, subnode, 0};
  };
  NtfsImage::Node root{{item(u"m", 1)}, 0};
  std::vector<NtfsImage::Node> blocks{{{item(u"x"), item(u"y"), item(u"z")}, -1},
                                      {{item(u"a"), item(u"b")}, -1},
                                      {{item(u"gone")}, -1}};
  image.rootOf(5).items.resize(1);  // the files live in f only
  image.setIndex(f, root, blocks, {true, true, false});
  return image;
}

TEST(FileTable, ListsAFolderAsEachSystemDoes) {
  FileTable table;
  ASSERT_EQ("", load(table, treeOfBlocks().build()));
  // Linux drivers: the root's entries, then the blocks in use, in block order.
  EXPECT_EQ((std::vector<std::string>{"m", "x", "y", "z", "a", "b"}), names(table, 16));
  // Windows: the index's own order, each subnode before its entry.
  ASSERT_EQ("", load(table, treeOfBlocks().build(), ListingOrder::Collation));
  EXPECT_EQ((std::vector<std::string>{"a", "b", "m", "x", "y", "z"}), names(table, 16));
}

// The reads and the hints of a load, in order.
class WatchedVolume final : public VolumeBytes {
 public:
  struct Range {
    bool read;
    uint64_t offset, length;
  };
  explicit WatchedVolume(const std::vector<uint8_t>& image) : bytes_(image) {}
  bool read(uint64_t offset, size_t length, uint8_t* into) override {
    ranges.push_back({true, offset, length});
    return bytes_.read(offset, length, into);
  }
  void prefetch(uint64_t offset, uint64_t length) override { ranges.push_back({false, offset, length}); }
  std::vector<Range> ranges;

 private:
  ImageVolume bytes_;
};

TEST(FileTable, AsksAheadOnlyForBytesItGoesOnToRead) {
  NtfsImage image = treeOfBlocks(1100);  // more records than one read takes
  image.splitTable();
  const std::vector<uint8_t> bytes = image.build();
  WatchedVolume volume(bytes);
  FileTable table;
  std::string why;
  ASSERT_TRUE(table.load(volume, ListingOrder::IndexBlocks, why)) << why;
  int hints = 0;
  for (size_t i = 0; i < volume.ranges.size(); ++i) {
    const WatchedVolume::Range& hint = volume.ranges[i];
    if (hint.read) continue;
    ++hints;
    EXPECT_LE(hint.offset + hint.length, bytes.size());
    const bool readLater = std::any_of(volume.ranges.begin() + static_cast<std::ptrdiff_t>(i), volume.ranges.end(),
                                       [&](const WatchedVolume::Range& r) {
                                         return r.read && r.offset < hint.offset + hint.length &&
                                                hint.offset < r.offset + r.length;
                                       });
    EXPECT_TRUE(readLater) << "asked ahead for " << hint.length << " bytes at " << hint.offset;
  }
  EXPECT_GE(hints, 2);  // the table's second read, and the folder's blocks
}

TEST(FileTable, FollowsTheTableIntoItsSecondExtentAndTakesAttributesFromExtensionRecords) {
  NtfsImage image(64);
  image.splitTable();
  uint64_t last = 0;
  for (char16_t c = u'A'; c < u'A' + 30; ++c) last = image.addFile(5, std::u16string{u'f', c}, 0x3127);
  image.setReparseTag(last, 0xA0000003, true);
  FileTable table;
  ASSERT_EQ("", load(table, image.build()));
  ASSERT_GE(last, 32u);  // in the table's second half
  EXPECT_EQ(0x3127u, table.storedWord(last));
  EXPECT_EQ(0xA0000003u, table.reparseTag(last));
  EXPECT_EQ(30u, table.entries(5).size());
}

TEST(FileTable, RefusesWhatItCannotVouchFor) {
  using Layout = std::function<void(NtfsImage&, uint64_t file)>;
  using Spoil = std::function<void(NtfsImage&, std::vector<uint8_t>&, uint64_t file)>;
  struct Case {
    const char* what;
    Layout layout;
    Spoil spoil;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {"no boot sector", {}, [](auto&, auto& bytes, auto) { bytes[3] = 'X'; }, "no NTFS boot sector"},
      {"clusters of 2^65 sectors", {}, [](auto&, auto& bytes, auto) { bytes[0x0D] = 0xBF; }, "no NTFS boot sector"},
      {"a torn record", {}, [](auto& image, auto& bytes, auto file) { bytes[image.recordOffset(file) + 510] ^= 1; },
       "a listed record is damaged"},
      {"a name of a deleted file", [](auto& image, auto) { image.rootOf(5).items.back().sequence = 3; }, {},
       "a name leads to a deleted file"},
      {"a name of a free record", [](auto& image, auto file) { image.freeRecord(file); }, {},
       "a name leads to no file"},
      {"a dirty volume", [](auto& image, auto) { image.setDirty(); }, {}, "the volume is marked dirty"},
      {"a short volume", {}, [](auto&, auto& bytes, auto) { bytes.resize(20000); }, "cannot be read"},
      {"a block in the wrong place", {},
       [](auto& image, auto& bytes, auto) { bytes[image.blockOffset(16, 0) + 0x10] = 9; },
       "a folder's index block is damaged"},
  };
  for (const Case& c : cases) {
    NtfsImage image = treeOfBlocks();
    const uint64_t file = image.addFile(5, u"victim");
    if (c.layout) c.layout(image, file);
    std::vector<uint8_t> bytes = image.build();
    if (c.spoil) c.spoil(image, bytes, file);
    FileTable table;
    const std::string why = load(table, bytes);
    EXPECT_NE(std::string::npos, why.find(c.reason)) << c.what << ": " << why;
    EXPECT_EQ(0u, table.recordCount()) << c.what;
  }
}

TEST(FileTable, RefusesAnIndexThatLoopsInCollationOrder) {
  NtfsImage image;
  const uint64_t f = image.addFolder(5, u"f");
  const uint64_t x = image.addFile(f, u"x");
  image.setIndex(f, {{}, 0}, {{{{x, u"x", 1, 0, 0}}, -1}});  // block 0 below itself
  FileTable table;
  EXPECT_EQ("a folder's index is damaged (record 16)", load(table, image.build(), ListingOrder::Collation));
}

TEST(FileTable, NamesAsLinuxShowsThem) {
  std::string out;
  EXPECT_TRUE(nameToUtf8(u"a\u00e9\U0001F600", out));
  EXPECT_EQ("a\xc3\xa9\xf0\x9f\x98\x80", out);
  EXPECT_FALSE(nameToUtf8(std::u16string(1, u'\xd800') + u"x", out));  // a lone surrogate
  EXPECT_FALSE(nameToUtf8(u"a/b", out));
  EXPECT_FALSE(nameToUtf8(std::u16string(1, u'\0'), out));
}

// Whole runs: the folder C:\d is the table's record 16 and also on the
// simulated volume, where the driver's reads and writes go.
class TableRun : public ::testing::Test {
 protected:
  void SetUp() override {
    fs.addSystemDrive();
    d = image.addFolder(5, u"d");
    fs.addDir(L"C:\\d");
  }

  uint64_t file(uint64_t folder, const std::wstring& path, const std::u16string& name, uint32_t word) {
    fs.addFile(path, word);
    return image.addFile(folder, name, word);
  }

  void useTable(FakePlatform::Table table = {}) {
    table.image = image.build();
    table.rootRecord = d;
    fs.setTable(L"C:\\d", std::move(table));
  }

  std::string records(const std::wstring& suffix) { return fs.contentOf(kToolFolder + L"1000" + suffix); }

  FakePlatform fs;
  NtfsImage image;
  uint64_t d = 0;
};

TEST_F(TableRun, ListallTakesEveryWordFromTheTableWithoutAskingTheSystem) {
  file(d, L"C:\\d\\a", u"a", 0x3127);
  const uint64_t sub = image.addFolder(d, u"sub");
  fs.addDir(L"C:\\d\\sub");
  file(sub, L"C:\\d\\sub\\x", u"x", 0);
  file(d, L"C:\\d\\b", u"b", 0x21);
  useTable();
  fs.setTerminal({true, true, false}, 200);
  runTool(fs, {L"listall", L"C:\\d"});
  EXPECT_EQ(crlf("\n12583, C:\\d\\a\n128, C:\\d\\sub\\x\n33, C:\\d\\b"), records(L"allFiles.txt"));
  EXPECT_EQ((std::vector<std::string>{"C:\\d"}), fs.logOf("get"));  // the root only
  EXPECT_EQ((std::vector<std::string>{"C:\\d\\*"}), fs.logOf("find"));  // the root, checked
  EXPECT_NE(std::wstring::npos, fs.statusWrites().back().text.find(L"Read from the file table: C:\\d\n"));
}

TEST_F(TableRun, ListAndRepairReadEachCandidateAgainAndWriteThroughTheSystem) {
  file(d, L"C:\\d\\stale", u"stale", 0x3127);
  fs.addFile(L"C:\\d\\stale", 0x20);  // changed since the table was written
  file(d, L"C:\\d\\bad", u"bad", 0x3127);
  file(d, L"C:\\d\\fine", u"fine", 0x20);
  const uint64_t n = image.addFolder(d, u"Norvane");
  fs.addDir(L"C:\\d\\Norvane");
  file(n, L"C:\\d\\Norvane\\t", u"t", 0x21);
  useTable();
  runTool(fs, {L"list", L"C:\\d"});
  EXPECT_EQ(crlf("\n12583, C:\\d\\bad"), records(L"badFiles.txt"));
  EXPECT_EQ((std::vector<std::string>{"C:\\d", "C:\\d\\stale", "C:\\d\\bad"}), fs.logOf("get"));
  EXPECT_EQ((std::vector<std::string>{"C:\\d", "C:\\d"}), fs.logOf("enter"));

  runTool(fs, {L"repair", L"C:\\d"});
  EXPECT_EQ((std::vector<std::string>{"C:\\d\\bad 128", "C:\\d\\Norvane\\t 32"}), fs.logOf("set"));
  EXPECT_EQ(0x80u, fs.attributesOf(L"C:\\d\\bad"));
  EXPECT_EQ(0x20u, fs.attributesOf(L"C:\\d\\Norvane\\t"));
}

TEST_F(TableRun, EntersCloudFoldersButNeverLinksAndReportsWhatTheSystemCannotReach) {
  const uint64_t cloud = image.addFolder(d, u"cloud");
  image.setReparseTag(cloud, 0x9000001A);  // data elsewhere: entered
  file(cloud, L"C:\\d\\cloud\\doc", u"doc", 0x3127);
  const uint64_t junction = image.addFolder(d, u"junction");
  image.setReparseTag(junction, 0xA0000003);  // another place: not entered
  fs.addDir(L"C:\\d\\junction", FILE_ATTRIBUTE_REPARSE_POINT);
  image.addFile(junction, u"never", 0x3127);
  const uint64_t link = file(d, L"C:\\d\\link", u"link", 0x3127 | 0x400);
  image.setReparseTag(link, 0xA000000C);
  fs.addFile(L"C:\\d\\link", 0x430);  // the system finds it leads to a folder
  useTable();
  fs.refuseTableFolder(L"C:\\d\\cloud");  // ntfs-3g shows it as a link
  runTool(fs, {L"listall", L"C:\\d"});
  EXPECT_EQ(crlf("\n12583, C:\\d\\cloud\\doc"), records(L"allFiles.txt"));

  runTool(fs, {L"repair", L"C:\\d"});
  EXPECT_EQ(crlf("\n12583, C:\\d\\cloud\\doc"), records(L"couldNotFix.txt"));
  EXPECT_NE(std::string::npos, fs.console().find(" FlagsR: 12583, File: C:\\d\\cloud\\doc"));
  EXPECT_TRUE(fs.logOf("set").empty());

  runTool(fs, {L"list", L"C:\\d"});
  EXPECT_EQ("", records(L"badFiles.txt"));
  EXPECT_NE(std::string::npos, fs.console().find("INVALID_FILE_ATTRIBUTES for C:\\d\\cloud\\doc"));
}

TEST_F(TableRun, WalksWhenTheTableCannotBeTrustedAndSaysWhy) {
  file(d, L"C:\\d\\a", u"a", 0x3127);
  image.setDirty();
  useTable();
  fs.setTerminal({true, true, false}, 200);
  runTool(fs, {L"listall", L"C:\\d"});
  EXPECT_EQ(crlf("\n12583, C:\\d\\a"), records(L"allFiles.txt"));
  EXPECT_EQ((std::vector<std::string>{"C:\\d\\*"}), fs.logOf("find"));
  EXPECT_NE(std::wstring::npos,
            fs.statusWrites().back().text.find(L"Walked without the file table: C:\\d: the volume is marked dirty\n"));
}

TEST_F(TableRun, WalksWhenTheSystemListsTheRootOtherwise) {
  file(d, L"C:\\d\\a", u"a", 0x20);
  image.addFile(d, u".hidden", 0x22);  // a driver that hides it
  useTable();
  fs.setTerminal({true, true, false}, 200);
  runTool(fs, {L"listall", L"C:\\d"});
  EXPECT_EQ(crlf("\n32, C:\\d\\a"), records(L"allFiles.txt"));
  EXPECT_NE(std::wstring::npos,
            fs.statusWrites().back().text.find(L"C:\\d: the system lists it otherwise than its file table\n"));
}

TEST_F(TableRun, ARootTheSystemCannotListFailsAsInTheWalkEvenWhenItsTableIsEmpty) {
  useTable();
  fs.makeUnlistable(L"C:\\d");
  EXPECT_EQ(EXIT_FAILED, runTool(fs, {L"listall", L"C:\\d"}));
  EXPECT_EQ("tavrin: cannot read C:\\d: access denied\n", fs.errors());
}

TEST_F(TableRun, WalksAFolderThatAppearsTwiceAndWhenAMountPointIsNotInTheTable) {
  const uint64_t sub = image.addFolder(d, u"sub");
  fs.addDir(L"C:\\d\\sub");
  image.addName(sub, d, u"loop");  // the tree holds itself
  useTable();
  fs.setTerminal({true, true, false}, 200);
  runTool(fs, {L"listall", L"C:\\d"});
  EXPECT_NE(std::wstring::npos, fs.statusWrites().back().text.find(L"C:\\d: a folder appears twice"));

  FakePlatform::Table table;
  table.mountPoints = {L"nowhere"};
  image = NtfsImage();
  d = image.addFolder(5, u"d");
  useTable(table);
  runTool(fs, {L"listall", L"C:\\d"});
  EXPECT_NE(std::wstring::npos,
            fs.statusWrites().back().text.find(L"C:\\d: a mount point inside it is not in the file table"));
}

TEST_F(TableRun, LeavesMountPointsAndFoldersTheSystemCannotListAsTheWalkDoes) {
  const uint64_t mounted = image.addFolder(d, u"mnt");
  file(mounted, L"C:\\d\\mnt\\hidden", u"hidden", 0x20);
  const uint64_t locked = image.addFolder(d, u"locked");
  file(locked, L"C:\\d\\locked\\secret", u"secret", 0x20);
  file(d, L"C:\\d\\z", u"z", 0x20);
  FakePlatform::Table table;
  table.mountPoints = {L"mnt"};
  table.checkFolders = true;
  useTable(table);
  fs.makeUnlistable(L"C:\\d\\locked");
  fs.setTerminal({true, true, false}, 200);
  runTool(fs, {L"listall", L"C:\\d"});
  EXPECT_EQ(crlf("\n32, C:\\d\\z"), records(L"allFiles.txt"));
  EXPECT_NE(std::wstring::npos, fs.statusWrites().back().text.find(L"1 folder could not be listed:\n  C:\\d\\locked\n"));
}

TEST_F(TableRun, AStopEndsTheRunAtTheNextFileWithTheRecordsSoFar) {
  for (char16_t c = u'A'; c <= u'Z'; ++c) {
    file(d, std::wstring{L'C', L':', L'\\', L'd', L'\\', L'f', static_cast<wchar_t>(c)}, std::u16string{u'f', c}, 0x20);
  }
  useTable();
  int asked = 0;
  fs.stopWhen([&] { return ++asked > 12; });
  runTool(fs, {L"listall", L"C:\\d"});
  const std::string content = records(L"allFiles.txt");
  EXPECT_EQ(std::string::npos, content.find("C:\\d\\fZ"));
  EXPECT_NE(std::string::npos, content.find("C:\\d\\fA"));
}

}  // namespace
}  // namespace tavrin::test
