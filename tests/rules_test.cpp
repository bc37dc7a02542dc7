// What each command does to one file, and what it says about it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_platform.h"
#include "scan_job.h"

namespace tavrin::test {
namespace {

class RuleTest : public ::testing::Test {
 protected:
  void SetUp() override { fs.addSystemDrive(); }

  std::string resultFile(const std::wstring& name) const { return fs.contentOf(kToolFolder + name); }

  FakePlatform fs;
};

TEST(Rules, OnlyTheExactSuspectWordMatches) {
  const struct {
    uint32_t word;
    bool suspect;
  } cases[] = {
      {SUSPECT_ATTRIBUTES, true},
      {SUSPECT_ATTRIBUTES | FILE_ATTRIBUTE_COMPRESSED, false},
      {0x3126, false},
      {SUSPECT_ATTRIBUTES | 0x80000000, false},
      {FILE_ATTRIBUTE_ARCHIVE, false},
      {FILE_ATTRIBUTE_NORMAL, false},
      {0x27, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.word);
    // Appended, not "\n" + ...: MinGW's GCC 12 warns falsely (-Wrestrict) on that form.
    const std::string record = crlf(std::string("\n").append(toBytes(decimal(c.word))) + ", C:\\d\\x.exe");
    for (const std::wstring command : {L"list", L"repair", L"listall"}) {
      FakePlatform fs;
      fs.addSystemDrive();
      fs.addFile(L"C:\\d\\x.exe", c.word);
      EXPECT_EQ(0, runTool(fs, {command, L"C:\\d"}));
      EXPECT_EQ("", fs.console());
      if (command == L"list") {
        EXPECT_EQ(c.suspect ? record : "", fs.contentOf(kToolFolder + L"1000badFiles.txt"));
      } else if (command == L"listall") {
        EXPECT_EQ(record, fs.contentOf(kToolFolder + L"1000allFiles.txt"));
      } else {
        EXPECT_EQ("", fs.contentOf(kToolFolder + L"1000couldNotFix.txt"));
        EXPECT_EQ(c.suspect ? std::vector<std::string>{"C:\\d\\x.exe 128"} : std::vector<std::string>{},
                  fs.logOf("set"));
        EXPECT_EQ(c.suspect ? FILE_ATTRIBUTE_NORMAL : c.word, fs.attributesOf(L"C:\\d\\x.exe"));
      }
    }
  }
}

TEST_F(RuleTest, RepairResetsEveryFileUnderTheMarker) {
  fs.addFile(L"C:\\Norvane\\archive.txt", FILE_ATTRIBUTE_ARCHIVE);
  fs.addFile(L"C:\\Norvane\\normal.txt", FILE_ATTRIBUTE_NORMAL);
  fs.addFile(L"C:\\Norvane\\suspect.txt", SUSPECT_ATTRIBUTES);
  fs.addFile(L"C:\\norvane\\lower.txt", FILE_ATTRIBUTE_ARCHIVE);
  fs.addFile(L"C:\\norvane\\suspect.txt", SUSPECT_ATTRIBUTES);
  fs.addFile(L"C:\\other\\xNorvaney.txt", FILE_ATTRIBUTE_NORMAL);
  fs.addFile(L"C:\\other\\NORVANE.txt", FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(0, runTool(fs, {L"repair", L"C:\\Norvane", L"C:\\norvane", L"C:\\other"}));
  EXPECT_EQ((std::vector<std::string>{
                "C:\\Norvane\\archive.txt 32",
                "C:\\Norvane\\normal.txt 32",
                "C:\\Norvane\\suspect.txt 32",
                "C:\\norvane\\suspect.txt 128",
                "C:\\other\\xNorvaney.txt 32",
            }),
            fs.logOf("set"));
  EXPECT_EQ("", fs.console());
  EXPECT_EQ("", resultFile(L"1000couldNotFix.txt"));
}

TEST_F(RuleTest, RepairOverTheToolFolderResetsItsOwnResultFile) {
  fs.addFile(kToolFolder + L"older.txt", FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(0, runTool(fs, {L"repair", L"C:\\ProgramData"}));
  EXPECT_EQ((std::vector<std::string>{toBytes(kToolFolder) + "older.txt 32",
                                      toBytes(kToolFolder) + "1000couldNotFix.txt 32"}),
            fs.logOf("set"));

  FakePlatform listing;
  listing.addSystemDrive();
  EXPECT_EQ(0, runTool(listing, {L"listall", L"C:\\ProgramData"}));
  EXPECT_EQ(crlf("\n32, C:\\ProgramData\\Norvane\\Wickline\\1000allFiles.txt"),
            listing.contentOf(kToolFolder + L"1000allFiles.txt"));
}

TEST_F(RuleTest, RefusedRepairIsRecordedWithTheWordReadBefore) {
  fs.addFile(L"C:\\d\\bad.exe", SUSPECT_ATTRIBUTES);
  fs.addFile(L"C:\\d\\Norvane\\n.txt", 0x80000080);
  fs.addFile(L"C:\\d\\fine.exe", SUSPECT_ATTRIBUTES);
  fs.refuseAttributeWrites(L"C:\\d\\bad.exe");
  fs.refuseAttributeWrites(L"C:\\d\\Norvane\\n.txt");
  EXPECT_EQ(EXIT_PARTIAL, runTool(fs, {L"repair", L"C:\\d"}));
  EXPECT_EQ(crlf("\n12583, C:\\d\\bad.exe\n-2147483520, C:\\d\\Norvane\\n.txt"),
            resultFile(L"1000couldNotFix.txt"));
  EXPECT_EQ(crlf("\n FlagsR: 12583, File: C:\\d\\bad.exe"
                 "\n FlagsR: -2147483520, File: C:\\d\\Norvane\\n.txt"),
            fs.console());
  EXPECT_EQ(SUSPECT_ATTRIBUTES, fs.attributesOf(L"C:\\d\\bad.exe"));
  EXPECT_EQ(FILE_ATTRIBUTE_NORMAL, fs.attributesOf(L"C:\\d\\fine.exe"));
}

TEST_F(RuleTest, SetWarnsThenReportsEachFile) {
  fs.addFile(L"C:\\d\\a");
  fs.addFile(L"C:\\d\\sub\\b");
  fs.addFile(L"C:\\d\\gone");
  fs.addFile(L"C:\\d\\c");
  fs.refuseAttributeWrites(L"C:\\d\\sub\\b");
  fs.makeVanishing(L"C:\\d\\gone");
  EXPECT_EQ(EXIT_PARTIAL, runTool(fs, {L"set", L"6", L"C:\\d"}));

  const std::string warning = "print \nSETTINGS ATTRIBUTES SETTING FOLDERS AS PARAMS IS DANGEROUS !!!!";
  std::vector<std::string> effects;
  for (const std::string& line : fs.log()) {
    if (line.starts_with("print ") || line.starts_with("set ")) effects.push_back(line);
  }
  EXPECT_EQ((std::vector<std::string>{
                warning, "set C:\\d\\a 6", "print \n Attributes 6 successfully set to C:\\d\\a",
                warning, "set C:\\d\\sub\\b 6", "print \n Could not set attributes to C:\\d\\sub\\b",
                "print \nINVALID_FILE_ATTRIBUTES for C:\\d\\gone",
                warning, "set C:\\d\\c 6", "print \n Attributes 6 successfully set to C:\\d\\c"}),
            effects);
  EXPECT_EQ(FILE_ATTRIBUTE_DIRECTORY, fs.attributesOf(L"C:\\d"));
  EXPECT_EQ(FILE_ATTRIBUTE_DIRECTORY, fs.attributesOf(L"C:\\d\\sub"));
  EXPECT_EQ(6u, fs.attributesOf(L"C:\\d\\a"));
  EXPECT_EQ("", resultFile(L"1000"));
}

// Found by fuzzing: a set word holding the directory bit (4444 = 0x115C) must
// not turn the file into a folder that a later root's walk enters.
TEST_F(RuleTest, SetNeverTurnsAFileIntoAFolder) {
  fs.addFile(L"C:\\d\\x");
  EXPECT_EQ(0, runTool(fs, {L"set", L"4444", L"C:\\d\\x", L"C:\\d"}));
  EXPECT_EQ((std::vector<std::string>{"C:\\d\\x 4444", "C:\\d\\x 4444"}), fs.logOf("set"));
  EXPECT_EQ((std::vector<std::string>{"C:\\d\\*"}), fs.logOf("find"));
  EXPECT_EQ(4444u & ~FILE_ATTRIBUTE_DIRECTORY, fs.attributesOf(L"C:\\d\\x"));
}

// A file replaced by a folder after the listing, or a damaged index's
// "..": the word read just before a change decides, and a folder's is never
// written.
TEST_F(RuleTest, NeverWritesTheWordOfAnEntryThatIsAFolderWhenRead) {
  fs.addDir(L"C:\\top\\Norvane", FILE_ATTRIBUTE_DIRECTORY | 0x6);
  for (const uint32_t mode : {MODE_PATHS | MODE_REPAIR, MODE_PATHS | MODE_SET}) {
    ScanJob job(fs);
    job.setSetValue(0x3127);
    job.openResultFile(mode);
    EXPECT_EQ(0, job.applyRule(L"C:\\top\\Norvane"));
  }
  EXPECT_TRUE(fs.logOf("set").empty());
  EXPECT_EQ(FILE_ATTRIBUTE_DIRECTORY | 0x6, fs.attributesOf(L"C:\\top\\Norvane"));
}

TEST(Rules, UnreadableWordsAreReportedAndSkipped) {
  for (const std::wstring command : {L"list", L"repair", L"listall"}) {
    FakePlatform machine;
    machine.addSystemDrive();
    machine.addFile(L"C:\\d\\gone", SUSPECT_ATTRIBUTES);
    machine.addFile(L"C:\\d\\kept", FILE_ATTRIBUTE_ARCHIVE);
    machine.makeVanishing(L"C:\\d\\gone");
    EXPECT_EQ(EXIT_PARTIAL, runTool(machine, {command, L"C:\\d"}));
    EXPECT_EQ(crlf("\nINVALID_FILE_ATTRIBUTES for C:\\d\\gone"), machine.console());
    EXPECT_TRUE(machine.logOf("set").empty());
  }
}

TEST_F(RuleTest, FormatCharactersInPathsAreText) {
  fs.addFile(L"C:\\d\\%s%d%n.txt", SUSPECT_ATTRIBUTES);
  fs.addFile(L"C:\\d\\%n%n%n%s", SUSPECT_ATTRIBUTES);
  fs.makeVanishing(L"C:\\d\\%n%n%n%s");
  EXPECT_EQ(EXIT_PARTIAL, runTool(fs, {L"list", L"C:\\d"}));
  EXPECT_EQ(crlf("\n12583, C:\\d\\%s%d%n.txt"), resultFile(L"1000badFiles.txt"));
  EXPECT_EQ(crlf("\nINVALID_FILE_ATTRIBUTES for C:\\d\\%n%n%n%s"), fs.console());

  FakePlatform setting;
  setting.addSystemDrive();
  setting.addFile(L"C:\\%s%d%n.txt");
  EXPECT_EQ(0, runTool(setting, {L"set", L"1", L"C:\\%s%d%n.txt"}));
  EXPECT_EQ(crlf("\nSETTINGS ATTRIBUTES SETTING FOLDERS AS PARAMS IS DANGEROUS !!!!"
                 "\n Attributes 1 successfully set to C:\\%s%d%n.txt"),
            setting.console());
}

}  // namespace
}  // namespace tavrin::test
