// Whether result files may go into the tool folder: the decision alone, and
// whole runs where it refuses the folder.
#include <gtest/gtest.h>

#include <cstdint>
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

// The access lists Windows gives a folder, by their SIDs.
constexpr const wchar_t* kAdministrators = L"S-1-5-32-544";
constexpr const wchar_t* kSystem = L"S-1-5-18";
constexpr const wchar_t* kUsers = L"S-1-5-32-545";
constexpr const wchar_t* kCreatorOwner = L"S-1-3-0";
constexpr uint32_t kFullControl = 0x1F01FF;
constexpr uint32_t kReadExecute = 0x1200A9;
constexpr uint32_t kAddFile = 0x2;
constexpr uint32_t kAddSubdirectory = 0x4;
constexpr uint32_t kWriteDac = 0x40000;
constexpr uint32_t kGenericWrite = 0x40000000;

AccessEntry allow(const wchar_t* who, uint32_t rights, bool inheritOnly = false) {
  return AccessEntry{true, who, rights, inheritOnly};
}

AccessEntry deny(const wchar_t* who, uint32_t rights) { return AccessEntry{false, who, rights, false}; }

// What an elevated mkdir under C:\ProgramData inherits.
AccessList programDataChild() {
  return AccessList{true,
                    {allow(kSystem, kFullControl), allow(kAdministrators, kFullControl),
                     allow(kCreatorOwner, 0x10000000, true), allow(kUsers, kReadExecute),
                     allow(kUsers, kAddFile | kAddSubdirectory | 0x100 | 0x10)}};
}

// What the icacls command of the warning leaves.
AccessList adminsOnly() {
  return AccessList{true, {allow(kAdministrators, kFullControl), allow(kSystem, kFullControl),
                           allow(kUsers, kReadExecute)}};
}

TEST(OthersMayAdd, WhatAnElevatedMkdirInheritsLetsUsersAdd) {
  EXPECT_TRUE(othersMayAdd(programDataChild()));
  EXPECT_FALSE(othersMayAdd(adminsOnly()));
  EXPECT_FALSE(othersMayAdd(AccessList{true, {}}));   // nobody may do anything
  EXPECT_TRUE(othersMayAdd(AccessList{false, {}}));   // no list: everyone may do anything
}

TEST(OthersMayAdd, EachWayToAddCounts) {
  for (const uint32_t rights : {kAddFile, kAddSubdirectory, kWriteDac, kGenericWrite, 0x10000000u,
                                0x80000u /* WRITE_OWNER */}) {
    AccessList list = adminsOnly();
    list.entries.push_back(allow(L"S-1-5-21-1-2-3-1001", rights));
    EXPECT_TRUE(othersMayAdd(list)) << std::hex << rights;
    // Only for what is created inside: not the folder's own right.
    list.entries.back().inheritOnly = true;
    EXPECT_FALSE(othersMayAdd(list)) << std::hex << rights;
  }
  AccessList readers = adminsOnly();
  readers.entries.push_back(allow(L"S-1-1-0", kReadExecute | 0x80 /* read attributes */));
  EXPECT_FALSE(othersMayAdd(readers));
}

TEST(OthersMayAdd, ADenyBeforeTheAllowTakesTheRightAway) {
  AccessList list = programDataChild();
  list.entries.insert(list.entries.begin(), deny(kUsers, kAddFile | kAddSubdirectory));
  EXPECT_FALSE(othersMayAdd(list));
  // A deny after the allow comes too late, and one of another trustee does not count.
  list = programDataChild();
  list.entries.push_back(deny(kUsers, kAddFile | kAddSubdirectory));
  EXPECT_TRUE(othersMayAdd(list));
  list = programDataChild();
  list.entries.insert(list.entries.begin(), deny(L"S-1-1-0", kAddFile));
  EXPECT_TRUE(othersMayAdd(list));
  // A generic deny covers the specific rights.
  list = programDataChild();
  list.entries.insert(list.entries.begin(), deny(kUsers, 0x10000000));
  EXPECT_FALSE(othersMayAdd(list));
}

// Elevated, in a tool folder users may add to: the file is made, and
// standard error says how to close the folder; the run itself succeeded.
TEST(OpenToolFolder, AnElevatedRunWarnsAndGoesOn) {
  const std::string warning =
      "tavrin: the tool folder C:\\ProgramData\\Norvane\\Wickline lets users who are not "
      "administrators add files and folders to it, so they could plant look-alike result files; "
      "leave it to administrators (users may still read) with: icacls "
      "\"C:\\ProgramData\\Norvane\\Wickline\" /inheritance:r /grant:r \"*S-1-5-32-544:(OI)(CI)F\" "
      "\"*S-1-5-18:(OI)(CI)F\" \"*S-1-5-32-545:(OI)(CI)RX\"\n";
  for (const bool elevated : {true, false}) {
    FakePlatform fs;
    fs.addSystemDrive();
    fs.addFile(L"C:\\d\\a", SUSPECT_ATTRIBUTES);
    fs.setAccess(L"C:\\ProgramData\\Norvane\\Wickline", programDataChild());
    fs.setElevated(elevated);
    EXPECT_EQ(EXIT_DONE, runTool(fs, {L"list", L"C:\\d"}));
    EXPECT_EQ(elevated ? warning : "", fs.errors());
    EXPECT_EQ(crlf("\n12583, C:\\d\\a"), fs.contentOf(kToolFolder + L"1000badFiles.txt"));
  }
  FakePlatform closed;
  closed.addSystemDrive();
  closed.setAccess(L"C:\\ProgramData\\Norvane\\Wickline", adminsOnly());
  closed.setElevated(true);
  EXPECT_EQ(EXIT_DONE, runTool(closed, {L"list", L"C:\\ProgramData\\Norvane"}));
  EXPECT_EQ(std::string::npos, closed.errors().find("lets users")) << closed.errors();
}

}  // namespace
}  // namespace tavrin::test
