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

TEST(FileTable, RefusesAVolumeItCannotReadAsAWhole) {
  const std::vector<std::pair<std::function<void(NtfsImage&, std::vector<uint8_t>&)>, std::string>> cases = {
      {[](auto&, auto& bytes) { bytes[3] = 'X'; }, "no NTFS boot sector"},
      {[](auto&, auto& bytes) { bytes[0x0D] = 0xBF; }, "no NTFS boot sector"},  // clusters of 2^65 sectors
      {[](auto&, auto& bytes) { bytes.resize(20000); }, "cannot be read"},
      {[](auto& image, auto& bytes) {
         image.setDirty();
         bytes = image.build();
       },
       "the volume is marked dirty"},
  };
  for (const auto& [spoil, reason] : cases) {
    NtfsImage image = treeOfBlocks();
    std::vector<uint8_t> bytes = image.build();
    spoil(image, bytes);
    FileTable table;
    const std::string why = load(table, bytes);
    EXPECT_NE(std::string::npos, why.find(reason)) << why;
    EXPECT_EQ(0u, table.recordCount()) << reason;
  }
}

// Where a folder's entries cannot be vouched for, the folder carries the
// doubt and every other folder is read as usual.
TEST(FileTable, DoubtsTheFolderWhoseEntriesItCannotVouchFor) {
  using Layout = std::function<void(NtfsImage&, uint64_t file)>;
  using Spoil = std::function<void(NtfsImage&, std::vector<uint8_t>&, uint64_t file)>;
  struct Case {
    const char* what;
    Layout layout;
    Spoil spoil;
    uint64_t folder;
    Doubt doubt;
  };
  const std::vector<Case> cases = {
      {"a torn record", {}, [](auto& image, auto& bytes, auto file) { bytes[image.recordOffset(file) + 510] ^= 1; },
       5, Doubt::Damaged},
      {"a name of a deleted file", [](auto& image, auto) { image.rootOf(5).items.back().sequence = 3; }, {}, 5,
       Doubt::Disagrees},
      {"a name of a free record", [](auto& image, auto file) { image.freeRecord(file); }, {}, 5, Doubt::Disagrees},
      {"a name its file does not carry", [](auto& image, auto) { image.rootOf(5).items.back().recorded = false; },
       {}, 5, Doubt::Disagrees},
      {"a file named ..",
       [](auto& image, auto) {
         image.rootOf(5).items.back().name = u"..";
       },
       {}, 5, Doubt::Damaged},
      {"a block in the wrong place", {},
       [](auto& image, auto& bytes, auto) { bytes[image.blockOffset(16, 0) + 0x10] = 9; }, 16, Doubt::Damaged},
  };
  for (const Case& c : cases) {
    NtfsImage image = treeOfBlocks();
    const uint64_t file = image.addFile(5, u"victim");
    if (c.layout) c.layout(image, file);
    std::vector<uint8_t> bytes = image.build();
    if (c.spoil) c.spoil(image, bytes, file);
    FileTable table;
    ASSERT_EQ("", load(table, bytes)) << c.what;
    EXPECT_EQ(c.doubt, table.doubt(c.folder)) << c.what;
    const uint64_t other = c.folder == 5 ? 16 : 5;
    EXPECT_EQ(Doubt::None, table.doubt(other)) << c.what;
    EXPECT_FALSE(table.entries(other).empty()) << c.what;
  }
}

TEST(FileTable, DoubtsAnIndexThatLoopsInCollationOrder) {
  NtfsImage image;
  const uint64_t f = image.addFolder(5, u"f");
  const uint64_t x = image.addFile(f, u"x");
  image.setIndex(f, {{}, 0}, {{{{x, u"x", 1, 0, 0}}, -1}});  // block 0 below itself
  FileTable table;
  ASSERT_EQ("", load(table, image.build(), ListingOrder::Collation));
  EXPECT_EQ(Doubt::Damaged, table.doubt(f));
}

TEST(FileTable, TakesFromExtensionRecordsOnlyWhatTheBaseListNames) {
  NtfsImage image;
  const uint64_t suspect = image.addFile(5, u"suspect", 0x3127);
  image.addStrayExtension(suspect, 0x20);  // in use, naming the base, yet not in its list
  FileTable table;
  ASSERT_EQ("", load(table, image.build()));
  EXPECT_EQ(0x3127u, table.storedWord(suspect));
  EXPECT_EQ(Doubt::None, table.doubt(5));
}

TEST(FileTable, HidesOnlyTheExtendFilesThatNameExtendBack) {
  NtfsImage image;
  const uint64_t user = image.addFolder(5, u"user");
  const uint64_t suspect = image.addFile(user, u"suspect", 0x3127);
  const uint64_t quota = image.addFile(11, u"$Quota", 0x26);
  // $Extend's index edited to name the user's folder as one of its own.
  image.rootOf(11).items.push_back({user, u"$ObjId", 1, -1, 0, false});
  FileTable table;
  ASSERT_EQ("", load(table, image.build()));
  ASSERT_EQ(1u, table.entries(5).size());
  EXPECT_EQ(user, table.entries(5)[0].record);
  ASSERT_EQ(1u, table.entries(user).size());
  EXPECT_EQ(suspect, table.entries(user)[0].record);
  image.addName(5, quota, u"quota here");  // $Extend's own file stays hidden
  ASSERT_EQ("", load(table, image.build()));
  EXPECT_EQ(1u, table.entries(5).size());
}

// The volume's bytes as one image until a given read, and as another from
// the read after it on: a volume that changes while its table is read.
class ChangingVolume final : public VolumeBytes {
 public:
  ChangingVolume(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after, uint64_t changeAfterReading)
      : before_(before), after_(after), trigger_(changeAfterReading) {}
  bool read(uint64_t offset, size_t length, uint8_t* into) override {
    ImageVolume now(changed_ ? after_ : before_);
    const bool ok = now.read(offset, length, into);
    if (offset <= trigger_ && trigger_ < offset + length) changed_ = true;
    return ok;
  }

 private:
  const std::vector<uint8_t>& before_;
  const std::vector<uint8_t>& after_;
  uint64_t trigger_;
  bool changed_ = false;
};

TEST(FileTable, DoubtsAFolderWhoseIndexChangesWhileItIsRead) {
  // f's 60 files in block 0; then a block split moves them into two blocks
  // and the root, as a driver does when files are added.
  NtfsImage image(128);
  const uint64_t f = image.addFolder(5, u"f");
  std::vector<NtfsImage::Item> items;
  for (int i = 0; i < 60; ++i) {
    const std::u16string name = u"file" + std::u16string(1, static_cast<char16_t>(u'A' + i));
    items.push_back({image.addFile(f, name, i == 7 ? 0x3127 : 0x20), name, 1, -1, 0});
  }
  image.rootOf(f).items.clear();
  image.setIndex(f, {{}, 0}, {{items, -1}});
  const std::vector<uint8_t> before = image.build();
  const auto half = static_cast<std::ptrdiff_t>(items.size() / 2);
  image.setIndex(f, {{items[static_cast<size_t>(half)]}, -1},
                 {{{items.begin(), items.begin() + half}, -1}, {{items.begin() + half + 1, items.end()}, -1}});
  const std::vector<uint8_t> after = image.build();

  // Changed between the pass over the records and the read of its block.
  ChangingVolume early(before, after, image.recordOffset(127));
  FileTable table;
  std::string why;
  ASSERT_TRUE(table.load(early, ListingOrder::IndexBlocks, why)) << why;
  EXPECT_EQ(Doubt::Changed, table.doubt(f));
  EXPECT_EQ(Doubt::None, table.doubt(5));
  // Changed just after its block was read: caught by the second reading.
  ChangingVolume late(before, after, image.blockOffset(f, 0));
  ASSERT_TRUE(table.load(late, ListingOrder::IndexBlocks, why)) << why;
  EXPECT_EQ(Doubt::Changed, table.doubt(f));
  // Unchanged throughout: read from the table.
  ImageVolume still(after);
  ASSERT_TRUE(table.load(still, ListingOrder::IndexBlocks, why)) << why;
  EXPECT_EQ(Doubt::None, table.doubt(f));
  EXPECT_EQ(60u, table.entries(f).size());
}

// The offset in `bytes` of the first attribute of `type` in the record at
// `record`.
size_t attributeAt(const std::vector<uint8_t>& bytes, uint64_t record, uint32_t type) {
  const auto u16At = [&](size_t at) { return static_cast<size_t>(bytes[at]) | static_cast<size_t>(bytes[at + 1]) << 8; };
  size_t at = record + u16At(record + 0x14);
  while (bytes[at] != 0xFF) {
    if (u16At(at) == type) return at;
    at += u16At(at + 4);
  }
  ADD_FAILURE() << "no attribute " << type;
  return 0;
}

TEST(FileTable, BelievesNoSizeBeyondTheClustersOrTheMemoryAtHand) {
  NtfsImage image = treeOfBlocks();
  std::vector<uint8_t> bytes = image.build();
  // f's index claims 2^38 bytes, backed by one cluster: the folder is walked.
  const size_t allocation = attributeAt(bytes, image.recordOffset(16), 0xA0);
  bytes[allocation + 0x30 + 4] = 0x40;
  FileTable table;
  ASSERT_EQ("", load(table, bytes));
  EXPECT_EQ(Doubt::Damaged, table.doubt(16));
  EXPECT_EQ(Doubt::None, table.doubt(5));

  // Too little memory for the records: the root is walked, and says why.
  const std::vector<uint8_t> sound = image.build();
  ImageVolume volume(sound);
  std::string why;
  EXPECT_FALSE(table.load(volume, ListingOrder::IndexBlocks, why, {}, 1000));
  EXPECT_EQ("not enough memory", why);
  // Enough for the records (64 of 4 KiB, 23 bytes each kept), not for the
  // 40 blocks of f's index read twice.
  NtfsImage large;
  const uint64_t f = large.addFolder(5, u"f");
  large.setIndex(f, {{}, 0}, std::vector<NtfsImage::Node>(40, NtfsImage::Node{{}, -1}));
  const std::vector<uint8_t> largeBytes = large.build();
  ImageVolume largeVolume(largeBytes);
  ASSERT_TRUE(table.load(largeVolume, ListingOrder::IndexBlocks, why, {}, 64 * (4096 + 23) + 4096)) << why;
  EXPECT_EQ(Doubt::TooLarge, table.doubt(f));
  EXPECT_EQ(Doubt::None, table.doubt(5));
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

TEST_F(TableRun, WalksEachFolderItCannotVouchForAndReadsTheRestFromTheTable) {
  file(d, L"C:\\d\\a", u"a", 0x20);
  const uint64_t sub = image.addFolder(d, u"sub");
  fs.addDir(L"C:\\d\\sub");
  file(sub, L"C:\\d\\sub\\x", u"x", 0x3127);
  const uint64_t ghost = image.addFile(d, u"ghost", 0x3127);
  image.rootOf(d).items.pop_back();
  image.rootOf(sub).items.push_back({ghost, u"ghost", 1, -1, 0, false});  // a name its file does not carry
  // A damaged index naming a file "..": never resolved to the folder above.
  const uint64_t norvane = image.addFolder(d, u"Norvane");
  fs.addDir(L"C:\\d\\Norvane", 0x16);
  const uint64_t inner = image.addFolder(norvane, u"in");
  fs.addDir(L"C:\\d\\Norvane\\in");
  file(inner, L"C:\\d\\Norvane\\in\\t", u"t", 0x21);
  image.addFile(inner, u"..", 0x21);
  useTable();
  fs.setTerminal({true, true, false}, 200);
  EXPECT_EQ(0, runTool(fs, {L"listall", L"C:\\d"}));
  EXPECT_EQ(crlf("\n32, C:\\d\\a\n12583, C:\\d\\sub\\x\n33, C:\\d\\Norvane\\in\\t"), records(L"allFiles.txt"));
  EXPECT_EQ((std::vector<std::string>{"C:\\d\\*", "C:\\d\\sub\\*", "C:\\d\\Norvane\\in\\*"}), fs.logOf("find"));
  const std::wstring summary = fs.statusWrites().back().text;
  EXPECT_NE(std::wstring::npos, summary.find(L"Read from the file table: C:\\d\n"));
  EXPECT_NE(std::wstring::npos,
            summary.find(L"Walked without the file table: C:\\d\\sub: its index and its files disagree\n"));
  EXPECT_NE(std::wstring::npos,
            summary.find(L"Walked without the file table: C:\\d\\Norvane\\in: its index in the file table is damaged\n"));

  EXPECT_EQ(0, runTool(fs, {L"repair", L"C:\\d"}));
  EXPECT_EQ((std::vector<std::string>{"C:\\d\\sub\\x 128", "C:\\d\\Norvane\\in\\t 32"}), fs.logOf("set"));
  EXPECT_EQ(0x16u, fs.attributesOf(L"C:\\d\\Norvane"));
}

TEST_F(TableRun, WalksWhenTheSystemGivesTheRootsEntriesOtherRecords) {
  const uint64_t a = file(d, L"C:\\d\\a", u"a", 0x20);
  FakePlatform::Table table;
  table.rootRecords = {{L"a", a}};
  useTable(table);
  runTool(fs, {L"listall", L"C:\\d"});
  EXPECT_EQ(1u, fs.logOf("find").size());  // the root's names, compared

  table.rootRecords = {{L"a", a + 1}};  // the bytes of another volume
  useTable(table);
  fs.setTerminal({true, true, false}, 200);
  runTool(fs, {L"listall", L"C:\\d"});
  EXPECT_EQ(crlf("\n32, C:\\d\\a"), records(L"allFiles.txt"));
  EXPECT_NE(std::wstring::npos, fs.statusWrites().back().text.find(
                                    L"C:\\d: its device holds another volume than the one mounted there\n"));
}

TEST_F(TableRun, WalksTheFoldersAChangeJournalNamesAndTheRootWhenItLostTrack) {
  const uint64_t sub = image.addFolder(d, u"sub");
  fs.addDir(L"C:\\d\\sub");
  image.addFile(sub, u"gone", 0x20);  // deleted since: only the journal knows
  fs.addFile(L"C:\\d\\sub\\new", 0x3127);
  FakePlatform::Table table;
  table.changedFolders = {sub};
  useTable(table);
  fs.setTerminal({true, true, false}, 200);
  runTool(fs, {L"listall", L"C:\\d"});
  EXPECT_EQ(crlf("\n12583, C:\\d\\sub\\new"), records(L"allFiles.txt"));
  EXPECT_NE(std::wstring::npos, fs.statusWrites().back().text.find(
                                    L"C:\\d\\sub: it changed while its file table was read\n"));

  table.journalLost = true;
  useTable(table);
  runTool(fs, {L"listall", L"C:\\d"});
  EXPECT_EQ(crlf("\n12583, C:\\d\\sub\\new"), records(L"allFiles.txt"));
  EXPECT_NE(std::wstring::npos, fs.statusWrites().back().text.find(
                                    L"C:\\d: the volume's change journal lost track of its changes\n"));
}

TEST_F(TableRun, MeasuresPathsAsTheSystemDoesForARelativeRoot) {
  const std::wstring name(60, L'n');
  file(d, L"C:\\d\\" + name, std::u16string(60, u'n'), 0x20);
  file(d, L"C:\\d\\short", u"short", 0x20);
  FakePlatform::Table table;
  table.filePathLimit = 260;
  table.pathPrefix = 200;  // the current folder, before "C:\\d\\" and the name
  useTable(table);
  runTool(fs, {L"listall", L"C:\\d"});
  EXPECT_EQ((std::vector<std::string>{"C:\\d", "C:\\d\\" + std::string(60, 'n')}), fs.logOf("get"));
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
