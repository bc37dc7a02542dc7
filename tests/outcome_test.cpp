// How a run tells a script what it could not do: a line on standard error,
// always, and the exit status. Standard output and the records stay as they
// are either way.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_platform.h"
#include "scan_job.h"

namespace tavrin::test {
namespace {

class OutcomeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs.addSystemDrive();
    fs.addFile(L"C:\\d\\bad", SUSPECT_ATTRIBUTES);
    fs.addFile(L"C:\\d\\ok");
  }

  std::string records() const { return fs.contentOf(kToolFolder + L"1000badFiles.txt"); }

  FakePlatform fs;
};

TEST_F(OutcomeTest, ARunThatDidAllItWasAskedIsQuiet) {
  EXPECT_EQ(EXIT_DONE, runTool(fs, {L"list", L"C:\\d", L"C:\\d\\bad"}));
  EXPECT_EQ("", fs.errors());
  EXPECT_EQ(crlf("\n12583, C:\\d\\bad\n12583, C:\\d\\bad"), records());
}

// A folder where the disk was meant to be mounted: walked as before, but
// the run did not scan what was asked.
TEST_F(OutcomeTest, ARootOffTheVolumeIsNamedAndFailsTheRun) {
  fs.putOffVolume(L"C:\\d");
  EXPECT_EQ(EXIT_FAILED, runTool(fs, {L"list", L"C:\\d"}));
  EXPECT_EQ("tavrin: C:\\d is not on an NTFS volume; is the disk mounted?\n", fs.errors());
  EXPECT_EQ(crlf("\n12583, C:\\d\\bad"), records());
  EXPECT_EQ("", fs.console());
}

// A word that cannot be read may be a folder's: the walk tries it, and its
// listing tells why it failed.
TEST_F(OutcomeTest, AnUnreadableFileRootGivesItsReason) {
  fs.makeVanishing(L"C:\\d\\bad");
  EXPECT_EQ(EXIT_FAILED, runTool(fs, {L"list", L"C:\\d\\bad", L"C:\\d\\ok"}));
  EXPECT_EQ("", fs.console());
  EXPECT_EQ("tavrin: cannot read C:\\d\\bad: not found\n", fs.errors());
}

TEST_F(OutcomeTest, ARootWhoseListingFailsAtOnceCouldNotBeRead) {
  fs.failListingAfter(L"C:\\d", 0);
  EXPECT_EQ(EXIT_FAILED, runTool(fs, {L"list", L"C:\\d"}));
  EXPECT_EQ("tavrin: cannot read C:\\d: I/O error\n", fs.errors());
  EXPECT_EQ("", records());
}

// A failed root outweighs what else went wrong; the rest of the run is done.
TEST_F(OutcomeTest, AFailedRootOutweighsAPartialRun) {
  fs.makeUnlistable(L"C:\\d\\locked");
  EXPECT_EQ(EXIT_FAILED, runTool(fs, {L"list", L"C:\\nope", L"C:\\d"}));
  EXPECT_EQ("tavrin: cannot read C:\\nope: not found\n"
            "tavrin: could not list C:\\d\\locked: access denied\n"
            "tavrin: 1 folder could not be listed, named above\n",
            fs.errors());
  EXPECT_EQ(crlf("\n12583, C:\\d\\bad"), records());
}

TEST_F(OutcomeTest, ManyUnlistedFoldersAreNamedFirstThenCounted) {
  for (int i = 0; i < 8; ++i) fs.makeUnlistable(L"C:\\d\\x" + std::to_wstring(i));
  EXPECT_EQ(EXIT_PARTIAL, runTool(fs, {L"list", L"C:\\d"}));
  std::string expected;
  for (int i = 0; i < 5; ++i) {
    expected += "tavrin: could not list C:\\d\\x" + std::to_string(i) + ": access denied\n";
  }
  expected += "tavrin: 8 folders could not be listed in all, 5 of them named above\n";
  EXPECT_EQ(expected, fs.errors());
}

TEST(Outcome, ADriveThatCannotBeListedMakesARunWithoutPathsPartial) {
  FakePlatform fs;
  fs.addSystemDrive();
  fs.addDrive(L"D:\\", DRIVE_FIXED);
  fs.makeUnlistable(L"D:\\");
  fs.addFile(L"C:\\a", SUSPECT_ATTRIBUTES);
  EXPECT_EQ(EXIT_PARTIAL, runTool(fs, {L"list"}));
  EXPECT_EQ("tavrin: could not list D:\\: access denied\ntavrin: 1 folder could not be listed, named above\n",
            fs.errors());
  EXPECT_EQ(crlf("\n12583, C:\\a"), fs.contentOf(kToolFolder + L"1000badFiles.txt"));
}

TEST(Outcome, NoDriveAtAllFailsARunWithoutPaths) {
  FakePlatform fs;
  fs.listDrive(L"D:\\", DRIVE_CDROM);
  fs.setAppDataFolders({std::nullopt});
  EXPECT_EQ(EXIT_FAILED, runTool(fs, {L"listall"}));
  EXPECT_EQ("tavrin: found no fixed drive to scan\n", fs.errors());
  EXPECT_TRUE(fs.logOf("find").empty());
}

TEST_F(OutcomeTest, EachResultFileFailureSaysWhy) {
  const std::string file = toBytes(kToolFolder) + "1000badFiles.txt";
  const struct {
    CreateFailure failure;
    std::string why;
  } cases[] = {
      {CreateFailure::FolderNotTrusted,
       "the folder C:\\ProgramData\\Norvane\\Wickline is a link or belongs to another user"},
      {CreateFailure::Other, "access denied"},  // the platform's own reason
  };
  for (const auto& c : cases) {
    FakePlatform run;
    run.addSystemDrive();
    run.addFile(L"C:\\d\\bad", SUSPECT_ATTRIBUTES);
    run.refuseCreate(kToolFolder + L"1000badFiles.txt", c.failure);
    EXPECT_EQ(EXIT_PARTIAL, runTool(run, {L"list", L"C:\\d"}));
    EXPECT_EQ("tavrin: could not create the result file " + file + ": " + c.why +
                  "; the records follow on standard output\n"
                  "tavrin: no result file: the 1 record is on standard output\n",
              run.errors());
    EXPECT_EQ(crlf("Could not open file to write results " + file + "\n12583, C:\\d\\bad"), run.console());
  }
}

// The set command's file never holds a record: not making it loses nothing.
TEST_F(OutcomeTest, SetWithoutItsEmptyFileIsStillDone) {
  fs.refuseCreate(kToolFolder + L"1000");
  EXPECT_EQ(EXIT_DONE, runTool(fs, {L"set", L"32", L"C:\\d\\ok"}));
  EXPECT_EQ("", fs.errors());
  EXPECT_EQ(32u, fs.attributesOf(L"C:\\d\\ok"));
}

// An empty result file means "scanned, nothing found": a run that failed
// and recorded nothing takes back the file it made, and only that file.
TEST_F(OutcomeTest, AFailedRunThatRecordedNothingLeavesNoResultFile) {
  fs.addFile(kToolFolder + L"999badFiles.txt", FILE_ATTRIBUTE_ARCHIVE);  // an earlier run's, empty
  EXPECT_EQ(EXIT_FAILED, runTool(fs, {L"list", L"C:\\typo"}));
  EXPECT_EQ("tavrin: cannot read C:\\typo: not found\n", fs.errors());
  EXPECT_EQ((std::vector<std::string>{toBytes(kToolFolder) + "1000badFiles.txt"}), fs.logOf("remove"));
  EXPECT_FALSE(fs.attributesOf(kToolFolder + L"1000badFiles.txt"));
  EXPECT_TRUE(fs.attributesOf(kToolFolder + L"999badFiles.txt"));
  EXPECT_EQ("", fs.console());

  // A set whose only path is missing: its marker file goes as well.
  FakePlatform set;
  set.addSystemDrive();
  EXPECT_EQ(EXIT_FAILED, runTool(set, {L"set", L"32", L"C:\\typo"}));
  EXPECT_EQ((std::vector<std::string>{toBytes(kToolFolder) + "1000"}), set.logOf("remove"));
}

TEST_F(OutcomeTest, AFailedRunKeepsItsRecordsAndADoneRunItsEmptyFile) {
  EXPECT_EQ(EXIT_FAILED, runTool(fs, {L"list", L"C:\\typo", L"C:\\d"}));
  EXPECT_EQ(crlf("\n12583, C:\\d\\bad"), records());
  EXPECT_TRUE(fs.logOf("remove").empty());

  FakePlatform clean;  // scanned, nothing found: the empty file stays
  clean.addSystemDrive();
  clean.addFile(L"C:\\d\\ok");
  EXPECT_EQ(EXIT_DONE, runTool(clean, {L"list", L"C:\\d"}));
  EXPECT_EQ("", clean.contentOf(kToolFolder + L"1000badFiles.txt"));
  EXPECT_TRUE(clean.attributesOf(kToolFolder + L"1000badFiles.txt"));
  EXPECT_TRUE(clean.logOf("remove").empty());
}

// A partial run closes with what it could not do, how many, and where they
// are listed; standard output and the records are as they always were.
TEST_F(OutcomeTest, APartialRunSaysWhatItCouldNotDoOnStandardError) {
  fs.addFile(L"C:\\d\\bad2", SUSPECT_ATTRIBUTES);
  fs.refuseAttributeWrites(L"C:\\d\\bad");
  fs.refuseAttributeWrites(L"C:\\d\\bad2");
  fs.addFile(L"C:\\d\\gone");
  fs.makeVanishing(L"C:\\d\\gone");
  EXPECT_EQ(EXIT_PARTIAL, runTool(fs, {L"repair", L"C:\\d"}));
  EXPECT_EQ(crlf("\n FlagsR: 12583, File: C:\\d\\bad\n FlagsR: 12583, File: C:\\d\\bad2"
                 "\nINVALID_FILE_ATTRIBUTES for C:\\d\\gone"),
            fs.console());
  EXPECT_EQ(crlf("\n12583, C:\\d\\bad\n12583, C:\\d\\bad2"), fs.contentOf(kToolFolder + L"1000couldNotFix.txt"));
  EXPECT_EQ("tavrin: 1 file could not be read: see the INVALID_FILE_ATTRIBUTES lines on standard output\n"
            "tavrin: 2 files could not be repaired: listed in C:\\ProgramData\\Norvane\\Wickline\\"
            "1000couldNotFix.txt and as FlagsR lines on standard output\n",
            fs.errors());

  FakePlatform set;
  set.addSystemDrive();
  set.addFile(L"C:\\d\\a");
  set.refuseAttributeWrites(L"C:\\d\\a");
  EXPECT_EQ(EXIT_PARTIAL, runTool(set, {L"set", L"0", L"C:\\d"}));
  EXPECT_EQ("tavrin: 1 file could not be set: see the \"Could not set attributes\" lines on standard output\n",
            set.errors());

  FakePlatform nothing;  // no result file, and nothing to put in one
  nothing.addSystemDrive();
  nothing.addFile(L"C:\\d\\ok");
  nothing.refuseCreate(kToolFolder + L"1000badFiles.txt");
  EXPECT_EQ(EXIT_PARTIAL, runTool(nothing, {L"list", L"C:\\d"}));
  EXPECT_EQ("tavrin: could not create the result file C:\\ProgramData\\Norvane\\Wickline\\1000badFiles.txt: "
            "access denied; the records follow on standard output\n"
            "tavrin: no result file; the run found nothing to record\n",
            nothing.errors());
}

}  // namespace
}  // namespace tavrin::test
