// The command line: usage requests, command words, the set command's value.
#include <gtest/gtest.h>

#include <regex>

#include "fake_platform.h"
#include "main.h"
#include "scan_job.h"

namespace tavrin::test {
namespace {

const std::vector<std::wstring> kUsageWrites = {
    L"\n\ttavrin.exe list [path]",
    L"\n\t\t- lits all attributes for all files form each drive",
    L"\n\t\t- saves output to output.txt",
    L"\n\t\t- if you add a path, only files in that folder will be processed",
    L"\n\n\ttavrin.exe repair [path]",
    L"\n\t\t- repairs all attributes for all files form each drive",
    L"\n\t\t- if it fails, output is saved to notRepaired.txt",
    L"\n\t\t- if you add a path, only files in that folder will be processed",
    L"\n\t\t- repair means removing the following attributes:",
    L"\n\tle trec aici",
    L"\n\n\ttavrin.exe set DWORD path >>testing purpose only",
    L"\n\n\ttavrin.exe listall [path] >>testing purpose only",
};

const std::string kUsageBytes =
    "\r\n\ttavrin.exe list [path]"
    "\r\n\t\t- lits all attributes for all files form each drive"
    "\r\n\t\t- saves output to output.txt"
    "\r\n\t\t- if you add a path, only files in that folder will be processed"
    "\r\n\r\n\ttavrin.exe repair [path]"
    "\r\n\t\t- repairs all attributes for all files form each drive"
    "\r\n\t\t- if it fails, output is saved to notRepaired.txt"
    "\r\n\t\t- if you add a path, only files in that folder will be processed"
    "\r\n\t\t- repair means removing the following attributes:"
    "\r\n\tle trec aici"
    "\r\n\r\n\ttavrin.exe set DWORD path >>testing purpose only"
    "\r\n\r\n\ttavrin.exe listall [path] >>testing purpose only";

struct UsageCase {
  std::vector<std::wstring> args;
  bool constructsJob;  // an unknown word builds (and drops) a job first
};

void PrintTo(const UsageCase& c, std::ostream* out) { *out << argsForName(c.args); }

class UsageTest : public ::testing::TestWithParam<UsageCase> {};

TEST_P(UsageTest, PrintsTheTwelveWritesAndNothingElse) {
  FakePlatform fs;
  fs.addSystemDrive();
  fs.addFile(L"C:\\a.txt", SUSPECT_ATTRIBUTES);
  EXPECT_EQ(0, runTool(fs, GetParam().args));

  EXPECT_EQ(kUsageWrites, fs.consoleWrites());
  EXPECT_EQ(kUsageBytes, fs.console());
  EXPECT_EQ(12u, fs.log().size()) << "only the console was touched";
  EXPECT_TRUE(fs.createdFiles().empty());
  EXPECT_EQ(0, fs.driveListReads());
  const int reads = GetParam().constructsJob ? 1 : 0;
  EXPECT_EQ(reads, fs.tickReads());
  EXPECT_EQ(reads, fs.folderReads());
}

INSTANTIATE_TEST_SUITE_P(
    Requests, UsageTest,
    ::testing::Values(UsageCase{{}, false}, UsageCase{{L"/?"}, false},
                      UsageCase{{L"/help"}, false}, UsageCase{{L"-help"}, false},
                      UsageCase{{L"/help", L"C:\\"}, false}));

INSTANTIATE_TEST_SUITE_P(
    UnknownWords, UsageTest,
    ::testing::Values(UsageCase{{L"LIST"}, true}, UsageCase{{L"-?"}, true},
                      UsageCase{{L"list2"}, true}, UsageCase{{L"lis"}, true},
                      UsageCase{{L"/HELP"}, true}, UsageCase{{L"Repair", L"C:\\"}, true},
                      UsageCase{{L""}, true}));

INSTANTIATE_TEST_SUITE_P(
    NearVersion, UsageTest,
    ::testing::Values(UsageCase{{L"-version"}, true}, UsageCase{{L"--VERSION"}, true},
                      UsageCase{{L"--version="}, true}, UsageCase{{L"version"}, true},
                      UsageCase{{L"-v"}, true}));

// TAVRIN_VERSION comes from project(VERSION), the same definition the program gets.
TEST(Version, PrintsOneLineAndTouchesNothingElse) {
  for (const std::vector<std::wstring>& args :
       {std::vector<std::wstring>{L"--version"},
        std::vector<std::wstring>{L"--version", L"C:\\"}}) {
    FakePlatform fs;
    fs.addSystemDrive();
    fs.addFile(L"C:\\a.txt", SUSPECT_ATTRIBUTES);
    EXPECT_EQ(0, runTool(fs, args));
    EXPECT_EQ(std::string("tavrin " TAVRIN_VERSION "\r\n"), fs.console());
    EXPECT_EQ(1u, fs.consoleWrites().size());
    EXPECT_EQ(1u, fs.log().size()) << "only the console was touched";
    EXPECT_EQ(0, fs.tickReads());
    EXPECT_EQ(0, fs.folderReads());
  }
  EXPECT_TRUE(std::regex_match(TAVRIN_VERSION, std::regex("[0-9]+\\.[0-9]+\\.[0-9]+")));
}

TEST(IncompleteSet, DoesNothingAtAll) {
  for (const std::vector<std::wstring>& args :
       {std::vector<std::wstring>{L"set"}, std::vector<std::wstring>{L"set", L"5"}}) {
    FakePlatform fs;
    fs.addSystemDrive();
    fs.addFile(L"C:\\a.txt");
    EXPECT_EQ(0, runTool(fs, args));
    EXPECT_EQ(fs.logOf("create").size() + fs.logOf("get").size() + fs.logOf("set").size() +
                  fs.logOf("find").size() + fs.logOf("print").size(),
              0u);
    EXPECT_EQ(0, fs.driveListReads());
  }
}

TEST(SetValue, FollowsTheRuntimeDecimalConversion) {
  const struct {
    std::wstring text;
    uint32_t value;
  } cases[] = {
      {L"42", 42},
      {L"  \t\n+7", 7},
      {L"-1", 0xFFFFFFFF},
      {L"0x20", 0},
      {L"0x80", 0},
      {L"12abc", 12},
      {L"abc", 0},
      {L"", 0},
      {L"- 5", 0},
      {L"--5", 0},
      {L"2147483647", 0x7FFFFFFF},
      {L"2147483648", 0x7FFFFFFF},
      {L"99999999999", 0x7FFFFFFF},
      {L"99999999999999999999999999", 0x7FFFFFFF},
      {L"-2147483648", 0x80000000},
      {L"-99999999999", 0x80000000},
      {L"4294967295", 0x7FFFFFFF},
      {L"00012583", 12583},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.value, parseSetValue(c.text)) << toBytes(c.text);
  }
}

TEST(SetValue, ReachesTheFileAndTheMessage) {
  const struct {
    std::wstring text;
    std::string written;
    std::string shown;
  } cases[] = {
      {L"0x20", "0", "0"},
      {L"-1", "4294967295", "-1"},
      {L"12583", "12583", "12583"},
      {L"-99999999999", "2147483648", "-2147483648"},
  };
  for (const auto& c : cases) {
    FakePlatform fs;
    fs.addSystemDrive();
    fs.addFile(L"C:\\f.txt");
    EXPECT_EQ(0, runTool(fs, {L"set", c.text, L"C:\\f.txt"}));
    EXPECT_EQ(std::vector<std::string>{"C:\\f.txt " + c.written}, fs.logOf("set"));
    EXPECT_EQ(crlf("\nSETTINGS ATTRIBUTES SETTING FOLDERS AS PARAMS IS DANGEROUS !!!!"
                   "\n Attributes " + c.shown + " successfully set to C:\\f.txt"),
              fs.console());
  }
}

TEST(Commands, PathsFollowTheCommandInOrder) {
  FakePlatform fs;
  fs.addSystemDrive();
  fs.addDrive(L"D:\\", DRIVE_FIXED);
  fs.addFile(L"D:\\data\\a.txt", SUSPECT_ATTRIBUTES);
  fs.addFile(L"E:\\x\\b.txt", SUSPECT_ATTRIBUTES);
  fs.addFile(L"C:\\c.txt", SUSPECT_ATTRIBUTES);
  EXPECT_EQ(0, runTool(fs, {L"list", L"E:\\x", L"D:\\data"}));

  EXPECT_EQ(0, fs.driveListReads()) << "paths replace the fixed drives";
  EXPECT_EQ((std::vector<std::string>{"E:\\x\\*", "D:\\data\\*"}), fs.logOf("find"));
  EXPECT_EQ(crlf("\n12583, E:\\x\\b.txt\n12583, D:\\data\\a.txt"),
            fs.contentOf(kToolFolder + L"1000badFiles.txt"));
}

}  // namespace
}  // namespace tavrin::test
