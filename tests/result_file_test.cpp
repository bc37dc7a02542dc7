// The result file: its name, its content, and where records go when it
// cannot be opened or written.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "scan_job.h"

namespace tavrin::test {
namespace {

struct NameCase {
  std::vector<std::wstring> args;
  std::wstring name;  // inside the tool folder
  int tickReads;
};

void PrintTo(const NameCase& c, std::ostream* out) { *out << argsForName(c.args); }

class ResultNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(ResultNameTest, IsTickDigitsAndSuffix) {
  FakePlatform fs;
  fs.addSystemDrive();
  fs.addFile(L"C:\\d\\a.txt");
  fs.setTicks({1000, 2000});
  EXPECT_EQ(0, runTool(fs, GetParam().args));
  EXPECT_EQ(std::vector<std::wstring>{kToolFolder + GetParam().name}, fs.createdFiles());
  EXPECT_EQ(GetParam().tickReads, fs.tickReads());
  EXPECT_EQ(GetParam().args.size() == 1 ? 1 : 0, fs.driveListReads()) << "fixed drives or paths";
}

INSTANTIATE_TEST_SUITE_P(
    Commands, ResultNameTest,
    ::testing::Values(NameCase{{L"list"}, L"1000badFiles.txt", 1},
                      NameCase{{L"list", L"C:\\d"}, L"1000badFiles.txt", 1},
                      NameCase{{L"repair"}, L"1000couldNotFix.txt", 1},
                      NameCase{{L"repair", L"C:\\d"}, L"1000couldNotFix.txt", 1},
                      NameCase{{L"listall"}, L"1000allFiles.txt", 1},
                      NameCase{{L"listall", L"C:\\d"}, L"1000allFiles.txt", 1},
                      // The set command renames after a second tick, bare.
                      NameCase{{L"set", L"1", L"C:\\d"}, L"2000", 2}));

TEST(ResultName, TickDigitsAreSigned) {
  const struct {
    std::vector<uint32_t> ticks;
    std::vector<std::wstring> args;
    std::wstring name;
  } cases[] = {
      {{0x7FFFFFFF}, {L"list", L"C:\\d"}, L"2147483647badFiles.txt"},
      {{0x80000005}, {L"list", L"C:\\d"}, L"-2147483643badFiles.txt"},
      {{0xFFFFFFFF}, {L"listall", L"C:\\d"}, L"-1allFiles.txt"},
      {{0}, {L"repair", L"C:\\d"}, L"0couldNotFix.txt"},
      {{5, 0x80000000}, {L"set", L"1", L"C:\\d"}, L"-2147483648"},
  };
  for (const auto& c : cases) {
    FakePlatform fs;
    fs.addSystemDrive();
    fs.addDir(L"C:\\d");
    fs.setTicks(c.ticks);
    EXPECT_EQ(EXIT_DONE, runTool(fs, c.args));
    EXPECT_EQ(std::vector<std::wstring>{kToolFolder + c.name}, fs.createdFiles());
  }
}

TEST(ResultName, WithoutTheFolderIsTheBareTickName) {
  const std::optional<std::wstring> folder = L"C:\\ProgramData";
  const struct {
    std::vector<std::optional<std::wstring>> folders;
    std::vector<std::wstring> args;
    std::wstring path;
  } cases[] = {
      {{std::nullopt}, {L"list", L"C:\\d"}, L"1000badFiles.txt"},
      {{std::nullopt}, {L"set", L"1", L"C:\\d"}, L"2000"},
      {{folder, std::nullopt}, {L"set", L"1", L"C:\\d"}, L"2000"},
      {{std::nullopt, folder}, {L"set", L"1", L"C:\\d"}, kToolFolder + L"2000"},
  };
  for (const auto& c : cases) {
    FakePlatform fs;
    fs.addSystemDrive();
    fs.setTicks({1000, 2000});
    fs.addDir(L"C:\\d");
    fs.setAppDataFolders(c.folders);
    EXPECT_EQ(EXIT_DONE, runTool(fs, c.args));
    EXPECT_EQ(std::vector<std::wstring>{c.path}, fs.createdFiles());
    EXPECT_EQ(fs.console(), "");
  }
}

class ResultFileTest : public ::testing::Test {
 protected:
  void SetUp() override { fs.addSystemDrive(); }

  FakePlatform fs;
};

TEST_F(ResultFileTest, HoldsOneLineFeedAndRecordPerFile) {
  fs.addFile(L"C:\\d\\a", FILE_ATTRIBUTE_ARCHIVE);
  fs.addFile(L"C:\\d\\b", SUSPECT_ATTRIBUTES);
  fs.addFile(L"C:\\d\\c", 0x80000000);
  EXPECT_EQ(0, runTool(fs, {L"listall", L"C:\\d"}));
  EXPECT_EQ("\r\n32, C:\\d\\a\r\n12583, C:\\d\\b\r\n-2147483648, C:\\d\\c",
            fs.contentOf(kToolFolder + L"1000allFiles.txt"));
  EXPECT_EQ("", fs.console());
  EXPECT_EQ("close-file " + toBytes(kToolFolder) + "1000allFiles.txt", fs.log().back());
}

TEST_F(ResultFileTest, IsEmptyWhenNothingIsRecorded) {
  fs.addFile(L"C:\\d\\a", FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_EQ(0, runTool(fs, {L"list", L"C:\\d"}));
  EXPECT_EQ(0, runTool(fs, {L"set", L"7", L"C:\\d"}));
  EXPECT_EQ((std::vector<std::wstring>{kToolFolder + L"1000badFiles.txt", kToolFolder + L"1000"}),
            fs.createdFiles());
  EXPECT_EQ("", fs.contentOf(kToolFolder + L"1000badFiles.txt"));
  EXPECT_EQ("", fs.contentOf(kToolFolder + L"1000"));
}

TEST_F(ResultFileTest, UnopenableFileSendsRecordsToTheConsole) {
  fs.addFile(L"C:\\d\\a", SUSPECT_ATTRIBUTES);
  fs.addFile(L"C:\\d\\b", SUSPECT_ATTRIBUTES);
  const std::string expected =
      "Could not open file to write results C:\\ProgramData\\Norvane\\Wickline\\1000badFiles.txt"
      "\r\n12583, C:\\d\\a\r\n12583, C:\\d\\b";

  {  // the tool folder is missing
    FakePlatform bare;
    bare.addDrive(L"C:\\", DRIVE_FIXED);
    bare.addFile(L"C:\\d\\a", SUSPECT_ATTRIBUTES);
    bare.addFile(L"C:\\d\\b", SUSPECT_ATTRIBUTES);
    bare.addDir(L"C:\\ProgramData\\Norvane");
    EXPECT_EQ(EXIT_PARTIAL, runTool(bare, {L"list", L"C:\\d"}));
    EXPECT_EQ(expected, bare.console());
    EXPECT_EQ("tavrin: could not create the result file "
              "C:\\ProgramData\\Norvane\\Wickline\\1000badFiles.txt: the folder "
              "C:\\ProgramData\\Norvane\\Wickline does not exist; create it with: mkdir "
              "\"C:\\ProgramData\\Norvane\\Wickline\" && icacls \"C:\\ProgramData\\Norvane\\Wickline\" "
              "/inheritance:r /grant:r \"*S-1-5-32-544:(OI)(CI)F\" \"*S-1-5-18:(OI)(CI)F\" "
              "\"*S-1-5-32-545:(OI)(CI)RX\" (in a command prompt run as administrator); the records "
              "follow on standard output\n"
              "tavrin: no result file: the 2 records are on standard output\n",
              bare.errors());
    EXPECT_TRUE(bare.createdFiles().empty());
  }
  {  // the file cannot be created
    fs.refuseCreate(kToolFolder + L"1000badFiles.txt");
    EXPECT_EQ(EXIT_PARTIAL, runTool(fs, {L"list", L"C:\\d"}));
    EXPECT_EQ(expected, fs.console());
    EXPECT_EQ("tavrin: could not create the result file "
              "C:\\ProgramData\\Norvane\\Wickline\\1000badFiles.txt: access denied; the records "
              "follow on standard output\n"
              "tavrin: no result file: the 2 records are on standard output\n",
              fs.errors());
  }
}

TEST_F(ResultFileTest, AnExistingNameIsNeverOverwritten) {
  const std::wstring taken = kToolFolder + L"1000allFiles.txt";
  for (const uint32_t kind : {FILE_ATTRIBUTE_ARCHIVE, FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_REPARSE_POINT}) {
    FakePlatform machine;
    machine.addSystemDrive();
    machine.addFile(taken, kind, "earlier run\r\n");
    machine.addFile(L"C:\\d\\a", SUSPECT_ATTRIBUTES);
    EXPECT_EQ(0, runTool(machine, {L"listall", L"C:\\d"}));
    // The next tick number is free: the run takes it, and says nothing.
    EXPECT_EQ("", machine.console());
    EXPECT_EQ(std::vector<std::wstring>{kToolFolder + L"1001allFiles.txt"}, machine.createdFiles());
    EXPECT_EQ("\r\n12583, C:\\d\\a", machine.contentOf(kToolFolder + L"1001allFiles.txt"));
    EXPECT_EQ("earlier run\r\n", machine.contentOf(taken));
    EXPECT_EQ(kind, machine.attributesOf(taken));
  }
}

TEST_F(ResultFileTest, EveryCandidateTakenEndsOnTheConsole) {
  // The tick as read and the hundred after it, each a file or a link.
  for (uint32_t tick = 1000; tick <= 1100; ++tick) {
    fs.addFile(kToolFolder + std::to_wstring(tick) + L"badFiles.txt",
               tick % 2 ? FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_REPARSE_POINT : FILE_ATTRIBUTE_ARCHIVE);
  }
  fs.addFile(L"C:\\d\\a", SUSPECT_ATTRIBUTES);
  EXPECT_EQ(EXIT_PARTIAL, runTool(fs, {L"list", L"C:\\d"}));
  EXPECT_EQ("Could not open file to write results " + toBytes(kToolFolder) +
                "1000badFiles.txt\r\n12583, C:\\d\\a",
            fs.console());
  EXPECT_EQ("tavrin: could not create the result file " + toBytes(kToolFolder) +
                "1000badFiles.txt: the name and the next 100 are taken; the records follow on "
                "standard output\n"
                "tavrin: no result file: the 1 record is on standard output\n",
            fs.errors());
  EXPECT_TRUE(fs.createdFiles().empty());
  EXPECT_EQ(101u, fs.logOf("create").size());
  EXPECT_EQ(toBytes(kToolFolder) + "1100badFiles.txt", fs.logOf("create").back());
}

TEST_F(ResultFileTest, OnlyATakenNameTriesTheNextTick) {
  fs.refuseCreate(kToolFolder + L"1000couldNotFix.txt", CreateFailure::AccessDenied);
  fs.addDir(L"C:\\d");
  EXPECT_EQ(EXIT_PARTIAL, runTool(fs, {L"repair", L"C:\\d"}));
  EXPECT_EQ(1u, fs.logOf("create").size());

  FakePlatform setRun;  // the set command's bare tick name moves on the same way
  setRun.addSystemDrive();
  setRun.setTicks({5, 0x7FFFFFFF});
  setRun.addFile(kToolFolder + L"2147483647");
  setRun.addDir(L"C:\\d");
  EXPECT_EQ(EXIT_DONE, runTool(setRun, {L"set", L"1", L"C:\\d"}));
  EXPECT_EQ(std::vector<std::wstring>{kToolFolder + L"-2147483648"}, setRun.createdFiles());
}

TEST_F(ResultFileTest, LongPathsAreWrittenWhole) {
  std::wstring deep = L"C:\\d";
  for (int level = 0; level < 30; ++level) deep += L'\\' + std::wstring(200, wchar_t(L'a' + level % 26));
  fs.addFile(deep + L"\\x.bin", SUSPECT_ATTRIBUTES);
  const std::wstring folder = L"C:\\" + std::wstring(3000, L'p');
  fs.setAppDataFolders({folder});
  fs.addDir(folder + L"\\Norvane\\Wickline");

  EXPECT_EQ(0, runTool(fs, {L"list", L"C:\\d"}));
  const std::wstring resultPath = folder + L"\\Norvane\\Wickline\\1000badFiles.txt";
  ASSERT_EQ(std::vector<std::wstring>{resultPath}, fs.createdFiles());
  EXPECT_EQ("\r\n12583, " + toBytes(deep) + "\\x.bin", fs.contentOf(resultPath));
}

TEST_F(ResultFileTest, TextBeyondLatin1IsUtf8) {
  fs.addFile(L"C:\\данные\\文件.txt", SUSPECT_ATTRIBUTES);
  fs.addFile(L"C:\\данные\\\U0001F600.txt", SUSPECT_ATTRIBUTES);
  fs.addFile(L"C:\\данные\\é", SUSPECT_ATTRIBUTES);
  fs.makeVanishing(L"C:\\данные\\é");
  EXPECT_EQ(EXIT_PARTIAL, runTool(fs, {L"list", L"C:\\данные"}));
  EXPECT_EQ("\r\n12583, C:\\\xD0\xB4\xD0\xB0\xD0\xBD\xD0\xBD\xD1\x8B\xD0\xB5\\\xE6\x96\x87\xE4\xBB\xB6.txt"
            "\r\n12583, C:\\\xD0\xB4\xD0\xB0\xD0\xBD\xD0\xBD\xD1\x8B\xD0\xB5\\\xF0\x9F\x98\x80.txt",
            fs.contentOf(kToolFolder + L"1000badFiles.txt"));
  EXPECT_EQ("\r\nINVALID_FILE_ATTRIBUTES for C:\\\xD0\xB4\xD0\xB0\xD0\xBD\xD0\xBD\xD1\x8B\xD0\xB5\\\xC3\xA9",
            fs.console());

  FakePlatform elsewhere;  // no tool folder under a non-Latin-1 folder name
  elsewhere.setAppDataFolders({L"C:\\データ"});
  elsewhere.addDir(L"C:\\d");
  EXPECT_EQ(EXIT_PARTIAL, runTool(elsewhere, {L"list", L"C:\\d"}));
  EXPECT_EQ("Could not open file to write results C:\\\xE3\x83\x87\xE3\x83\xBC\xE3\x82\xBF"
            "\\Norvane\\Wickline\\1000badFiles.txt",
            elsewhere.console());
}

// Records of files C:\big\f0000.txt and onward, as the records' lines.
std::vector<std::string> addSuspectFiles(FakePlatform& fs, int count) {
  std::vector<std::string> lines;
  for (int i = 0; i < count; ++i) {
    std::wstring name = std::to_wstring(10000 + i).substr(1);
    fs.addFile(L"C:\\big\\f" + name + L".txt", SUSPECT_ATTRIBUTES);
    lines.push_back("12583, C:\\big\\f" + toBytes(name) + ".txt");
  }
  return lines;
}

std::string joinRecords(const std::vector<std::string>& lines, size_t from = 0) {
  std::string text;
  for (size_t i = from; i < lines.size(); ++i) text += "\r\n" + lines[i];
  return text;
}

const std::string kWriteFailure =
    "\r\nCould not write to the result file C:\\ProgramData\\Norvane\\Wickline\\1000badFiles.txt,"
    " the records follow here";

TEST_F(ResultFileTest, AFailedLastWriteMovesItsRecordsToTheConsole) {
  const std::vector<std::string> lines = addSuspectFiles(fs, 3);
  fs.addFile(L"C:\\big\\gone");
  fs.makeVanishing(L"C:\\big\\gone");
  fs.failWritesAfter(10);
  EXPECT_EQ(EXIT_PARTIAL, runTool(fs, {L"list", L"C:\\big"}));
  EXPECT_EQ("tavrin: could not write to the result file " + toBytes(kToolFolder) +
                "1000badFiles.txt: no space left on the disk; the records follow on standard output\n"
                "tavrin: 1 file could not be read: see the INVALID_FILE_ATTRIBUTES lines on standard output\n"
                "tavrin: the result file " + toBytes(kToolFolder) +
                "1000badFiles.txt holds the records up to where it could not be written; the rest are on "
                "standard output\n",
            fs.errors());
  EXPECT_EQ("\r\nINVALID_FILE_ATTRIBUTES for C:\\big\\gone" + kWriteFailure + joinRecords(lines),
            fs.console());
  // Nothing of the chunk that failed stays in the file: no cut record.
  EXPECT_EQ("", fs.contentOf(kToolFolder + L"1000badFiles.txt"));
}

TEST(ResultFileWrites, AFailureAmidManyRecordsLosesNone) {
  for (const size_t limit : {size_t{1000}, size_t{60000}}) {
    FakePlatform fs;
    fs.addSystemDrive();
    const std::vector<std::string> lines = addSuspectFiles(fs, 5000);
    fs.failWritesAfter(limit);
    EXPECT_EQ(EXIT_PARTIAL, runTool(fs, {L"list", L"C:\\big"}));

    // The file holds records 0..k-1 whole, the console every record from k
    // on: each record once, in one place or the other.
    const std::string file = fs.contentOf(kToolFolder + L"1000badFiles.txt");
    const std::string& console = fs.console();
    ASSERT_TRUE(console.starts_with(kWriteFailure)) << limit;
    const std::string rest = console.substr(kWriteFailure.size());
    const std::string firstLine = rest.substr(2, rest.find("\r\n", 2) - 2);
    const size_t k = static_cast<size_t>(
        std::find(lines.begin(), lines.end(), firstLine) - lines.begin());
    ASSERT_LT(k, lines.size()) << limit;
    EXPECT_EQ(joinRecords(lines, k), rest);
    EXPECT_EQ(joinRecords(std::vector<std::string>(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(k))),
              file);
    EXPECT_LE(file.size(), limit);
    if (limit == 1000) {
      EXPECT_EQ(0u, k) << "the first chunk failed";
    } else {
      EXPECT_GT(k, 0u) << "the first chunk fit";
    }
  }
}

}  // namespace
}  // namespace tavrin::test
