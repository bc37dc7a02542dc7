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
  std::string error;   // what standard error gets; an unknown word fails the run
};

void PrintTo(const UsageCase& c, std::ostream* out) { *out << argsForName(c.args); }

class UsageTest : public ::testing::TestWithParam<UsageCase> {};

TEST_P(UsageTest, PrintsTheTwelveWritesAndNothingElse) {
  FakePlatform fs;
  fs.addSystemDrive();
  fs.addFile(L"C:\\a.txt", SUSPECT_ATTRIBUTES);
  const std::string& error = GetParam().error;
  EXPECT_EQ(error.empty() ? EXIT_DONE : EXIT_FAILED, runTool(fs, GetParam().args));

  EXPECT_EQ(kUsageWrites, fs.consoleWrites());
  EXPECT_EQ(kUsageBytes, fs.console());
  EXPECT_EQ(error, fs.errors());
  EXPECT_EQ(error.empty() ? 12u : 13u, fs.log().size()) << "only the console was touched";
  EXPECT_TRUE(fs.createdFiles().empty());
  EXPECT_EQ(0, fs.driveListReads());
  const int reads = GetParam().constructsJob ? 1 : 0;
  EXPECT_EQ(reads, fs.tickReads());
  EXPECT_EQ(reads, fs.folderReads());
}

INSTANTIATE_TEST_SUITE_P(
    Requests, UsageTest,
    ::testing::Values(UsageCase{{}, false, ""}, UsageCase{{L"/?"}, false, ""},
                      UsageCase{{L"/help"}, false, ""}, UsageCase{{L"-help"}, false, ""},
                      UsageCase{{L"/help", L"C:\\"}, false, ""}, UsageCase{{L"--help"}, false, ""},
                      UsageCase{{L"-h"}, false, ""}, UsageCase{{L"-h", L"C:\\"}, false, ""}));

// At a terminal the prompt comes back on a line of its own: one line feed
// after the usage, and after the set command's last message. The same runs
// redirected are checked byte for byte above and below.
TEST(AtATerminal, TheUsageAndSetMessagesEndWithALineFeed) {
  for (const std::vector<std::wstring>& args :
       {std::vector<std::wstring>{}, std::vector<std::wstring>{L"--help"}, std::vector<std::wstring>{L"-h"},
        std::vector<std::wstring>{L"lst"}}) {
    FakePlatform fs;
    fs.setConsoleTerminal(true);
    runTool(fs, args);
    std::vector<std::wstring> writes = kUsageWrites;
    writes.push_back(L"\n");
    EXPECT_EQ(writes, fs.consoleWrites()) << argsForName(args);
    EXPECT_EQ(kUsageBytes + "\r\n", fs.console());
  }
  FakePlatform fs;
  fs.addSystemDrive();
  fs.addFile(L"C:\\a.txt");
  fs.setConsoleTerminal(true);
  EXPECT_EQ(EXIT_DONE, runTool(fs, {L"set", L"33", L"C:\\a.txt"}));
  EXPECT_EQ(crlf("\nSETTINGS ATTRIBUTES SETTING FOLDERS AS PARAMS IS DANGEROUS !!!!"
                 "\n Attributes 33 successfully set to C:\\a.txt\n"),
            fs.console());
  FakePlatform shown;  // with a summary on the screen, the summary starts the new line
  shown.addSystemDrive();
  shown.addFile(L"C:\\a.txt");
  shown.setConsoleTerminal(true);
  shown.setTerminal({true, true, true}, 80);
  EXPECT_EQ(EXIT_DONE, runTool(shown, {L"set", L"33", L"C:\\a.txt"}));
  EXPECT_EQ(crlf("\nSETTINGS ATTRIBUTES SETTING FOLDERS AS PARAMS IS DANGEROUS !!!!"
                 "\n Attributes 33 successfully set to C:\\a.txt"),
            shown.console());
  FakePlatform quiet;  // nothing on the console: nothing to end
  quiet.addSystemDrive();
  quiet.addFile(L"C:\\d\\a.txt", SUSPECT_ATTRIBUTES);
  quiet.setConsoleTerminal(true);
  EXPECT_EQ(EXIT_DONE, runTool(quiet, {L"list", L"C:\\d"}));
  EXPECT_EQ("", quiet.console());
}

UsageCase unknown(std::vector<std::wstring> args) {
  const std::string word = args[0].empty() ? "an empty word" : toBytes(args[0]);
  return {std::move(args), true, "tavrin: " + word + " is not a command (list, repair, listall, set)\n"};
}

INSTANTIATE_TEST_SUITE_P(
    UnknownWords, UsageTest,
    ::testing::Values(unknown({L"LIST"}), unknown({L"-?"}), unknown({L"list2"}), unknown({L"lis"}),
                      unknown({L"lst", L"/tmp"}), unknown({L"/HELP"}),
                      unknown({L"Repair", L"C:\\"}), unknown({L""})));

INSTANTIATE_TEST_SUITE_P(
    NearVersion, UsageTest,
    ::testing::Values(unknown({L"-version"}), unknown({L"--VERSION"}), unknown({L"--version="}),
                      unknown({L"version"}), unknown({L"-v"})));

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

// A set that names no word or no path, or a word that is not a whole decimal
// number in range, is a usage error: nothing is read, written or created.
TEST(SetUsage, RefusesBeforeTouchingAnything) {
  const struct {
    std::vector<std::wstring> args;
    std::string error;
  } cases[] = {
      {{L"set"}, "set needs a word and at least one path: tavrin set WORD path ..."},
      {{L"set", L"5"}, "set needs a word and at least one path: tavrin set WORD path ..."},
      {{L"set", L"0x3127", L"C:\\a.txt"}, "0x3127 is not a decimal number (0x3127 is 12583)"},
      {{L"set", L"0x20", L"C:\\a.txt"}, "0x20 is not a decimal number (0x20 is 32)"},
      {{L"set", L"0XFFFFFFFF", L"C:\\a.txt"}, "0XFFFFFFFF is not a decimal number (0XFFFFFFFF is -1)"},
      {{L"set", L"0x80000000", L"C:\\a.txt"},
       "0x80000000 is not a decimal number (0x80000000 is -2147483648)"},
      {{L"set", L"0x100000000", L"C:\\a.txt"}, "0x100000000 is not a decimal number"},
      {{L"set", L"0x", L"C:\\a.txt"}, "0x is not a decimal number"},
      {{L"set", L"12abc", L"C:\\a.txt"}, "12abc is not a decimal number"},
      {{L"set", L" 7", L"C:\\a.txt"}, " 7 is not a decimal number"},
      {{L"set", L"--5", L"C:\\a.txt"}, "--5 is not a decimal number"},
      {{L"set", L"-", L"C:\\a.txt"}, "- is not a decimal number"},
      {{L"set", L"", L"C:\\a.txt"}, "an empty word is not a decimal number"},
      {{L"set", L"2147483648", L"C:\\a.txt"},
       "2147483648 is beyond the range of a word (-2147483648 to 2147483647)"},
      {{L"set", L"-99999999999999999999", L"C:\\a.txt"},
       "-99999999999999999999 is beyond the range of a word (-2147483648 to 2147483647)"},
  };
  for (const auto& c : cases) {
    FakePlatform fs;
    fs.addSystemDrive();
    fs.addFile(L"C:\\a.txt", SUSPECT_ATTRIBUTES);
    EXPECT_EQ(EXIT_FAILED, runTool(fs, c.args)) << argsForName(c.args);
    EXPECT_EQ("tavrin: " + c.error + "\n", fs.errors());
    EXPECT_EQ(fs.logOf("create").size() + fs.logOf("get").size() + fs.logOf("set").size() +
                  fs.logOf("find").size() + fs.logOf("print").size(),
              0u)
        << argsForName(c.args);
    EXPECT_EQ(SUSPECT_ATTRIBUTES, fs.attributesOf(L"C:\\a.txt"));
    EXPECT_EQ(0, fs.driveListReads());
  }
}

TEST(SetWord, TakesWholeDecimalNumbersInRange) {
  const struct {
    std::wstring text;
    uint32_t value;
  } cases[] = {
      {L"42", 42},         {L"+7", 7},
      {L"-1", 0xFFFFFFFF}, {L"0", 0},
      {L"2147483647", 0x7FFFFFFF}, {L"-2147483648", 0x80000000},
      {L"00012583", 12583}, {L"-0", 0},
  };
  for (const auto& c : cases) {
    std::wstring problem;
    EXPECT_EQ(std::optional<uint32_t>(c.value), parseSetWord(c.text, problem)) << toBytes(c.text);
    EXPECT_EQ(L"", problem);
  }
}

TEST(SetValue, ReachesTheFileAndTheMessage) {
  const struct {
    std::wstring text;
    std::string written;
    std::string shown;
  } cases[] = {
      {L"0", "0", "0"},
      {L"-1", "4294967295", "-1"},
      {L"12583", "12583", "12583"},
      {L"-2147483648", "2147483648", "-2147483648"},
  };
  for (const auto& c : cases) {
    FakePlatform fs;
    fs.addSystemDrive();
    fs.addFile(L"C:\\f.txt");
    EXPECT_EQ(EXIT_DONE, runTool(fs, {L"set", c.text, L"C:\\f.txt"}));
    EXPECT_EQ(std::vector<std::string>{"C:\\f.txt " + c.written}, fs.logOf("set"));
    EXPECT_EQ(crlf("\nSETTINGS ATTRIBUTES SETTING FOLDERS AS PARAMS IS DANGEROUS !!!!"
                   "\n Attributes " + c.shown + " successfully set to C:\\f.txt"),
              fs.console());
    EXPECT_EQ("", fs.errors());
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
