// Whether result files may go into the tool folder: the decision alone, and
// whole runs where it refuses the folder.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_platform.h"
#include "platform/tool_folder.h"
#include "scan_job.h"

namespace tavrin::test {
namespace {

FolderFacts trusted() {
  FolderFacts facts;
  facts.trustedOwner = true;
  return facts;
}

FolderFacts foreign() { return FolderFacts{}; }

FolderFacts link() {
  FolderFacts facts = trusted();
  facts.reparsePoint = true;
  return facts;
}

FolderFacts missing() {
  FolderFacts facts;
  facts.openFailure = CreateFailure::FolderMissing;
  return facts;
}

TEST(JudgeToolFolder, ALinkAtEitherLevelIsNeverTrusted) {
  for (const bool elevated : {false, true}) {
    EXPECT_EQ(CreateFailure::FolderNotTrusted, judgeToolFolder({link(), trusted()}, elevated));
    EXPECT_EQ(CreateFailure::FolderNotTrusted, judgeToolFolder({trusted(), link()}, elevated));
    EXPECT_EQ(CreateFailure::None, judgeToolFolder({trusted(), trusted()}, elevated));
  }
}

TEST(JudgeToolFolder, AForeignOwnerMattersOnlyWhenElevated) {
  EXPECT_EQ(CreateFailure::FolderNotTrusted, judgeToolFolder({foreign(), trusted()}, true));
  EXPECT_EQ(CreateFailure::FolderNotTrusted, judgeToolFolder({trusted(), foreign()}, true));
  EXPECT_EQ(CreateFailure::None, judgeToolFolder({foreign(), foreign()}, false));
}

TEST(JudgeToolFolder, AFolderThatCannotBeOpenedGivesItsReason) {
  EXPECT_EQ(CreateFailure::FolderMissing, judgeToolFolder({missing()}, true));
  EXPECT_EQ(CreateFailure::FolderMissing, judgeToolFolder({trusted(), missing()}, false));
  FolderFacts denied;
  denied.openFailure = CreateFailure::AccessDenied;
  EXPECT_EQ(CreateFailure::AccessDenied, judgeToolFolder({trusted(), denied}, true));
  EXPECT_EQ(CreateFailure::FolderMissing, judgeToolFolder({}, false));
}

class UntrustedFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    fs.addDrive(L"C:\\", DRIVE_FIXED);
    fs.addFile(L"C:\\d\\a", SUSPECT_ATTRIBUTES);
  }

  // A list run: what it printed, with nothing created.
  std::string refusedRun() {
    EXPECT_EQ(EXIT_PARTIAL, runTool(fs, {L"list", L"C:\\d"}));
    EXPECT_TRUE(fs.createdFiles().empty());
    EXPECT_EQ(1u, fs.logOf("create").size()) << "a refused folder is not a taken name";
    return fs.console();
  }

  static std::string refusal() {
    return "Could not open file to write results "
           "C:\\ProgramData\\Norvane\\Wickline\\1000badFiles.txt"
           "\r\n12583, C:\\d\\a";
  }

  FakePlatform fs;
};

TEST_F(UntrustedFolder, AJunctionAtWicklineSendsTheRecordsToTheConsole) {
  fs.addDir(L"C:\\ProgramData\\Norvane");
  fs.addDir(L"C:\\ProgramData\\Norvane\\Wickline", FILE_ATTRIBUTE_REPARSE_POINT);
  EXPECT_EQ(refusal(), refusedRun());
}

TEST_F(UntrustedFolder, AJunctionAtNorvaneSendsTheRecordsToTheConsole) {
  fs.addDir(L"C:\\ProgramData\\Norvane", FILE_ATTRIBUTE_REPARSE_POINT);
  fs.addDir(L"C:\\ProgramData\\Norvane\\Wickline");
  EXPECT_EQ(refusal(), refusedRun());
}

TEST_F(UntrustedFolder, AFolderOfAnotherUserIsRefusedOnlyWhenElevated) {
  fs.addDir(L"C:\\ProgramData\\Norvane\\Wickline");
  fs.ownByAnotherUser(L"C:\\ProgramData\\Norvane");
  fs.setElevated(true);
  EXPECT_EQ(refusal(), refusedRun());

  FakePlatform plain;  // the same folders, a run with the user's own rights
  plain.addSystemDrive();
  plain.addFile(L"C:\\d\\a", SUSPECT_ATTRIBUTES);
  plain.ownByAnotherUser(L"C:\\ProgramData\\Norvane\\Wickline");
  EXPECT_EQ(0, runTool(plain, {L"list", L"C:\\d"}));
  EXPECT_EQ("", plain.console());
  EXPECT_EQ(crlf("\n12583, C:\\d\\a"), plain.contentOf(kToolFolder + L"1000badFiles.txt"));
}

}  // namespace
}  // namespace tavrin::test
