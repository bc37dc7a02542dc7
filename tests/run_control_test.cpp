// How a run ends early, keeps its records current, and accounts for what it
// could not reach.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_platform.h"
#include "main.h"
#include "scan_job.h"

namespace tavrin::test {
namespace {

class RunControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs.addSystemDrive();
    for (int i = 0; i < 40; ++i) {
      fs.addFile(L"C:\\d\\f" + std::to_wstring(100 + i), i % 4 ? FILE_ATTRIBUTE_ARCHIVE : SUSPECT_ATTRIBUTES);
    }
  }

  std::string resultOf(const std::wstring& name) const { return fs.contentOf(kToolFolder + name); }

  FakePlatform fs;
};

TEST_F(RunControlTest, AStopEndsTheRunAtAFileBoundaryWithItsRecordsWritten) {
  // Asked before each entry: after the 13th word read, nothing more is read.
  fs.stopWhen([&] { return fs.logOf("get").size() >= 14; });
  ScanJob job(fs);
  job.roots() = {L"C:\\d", L"C:\\e"};
  job.startJob(MODE_PATHS | MODE_REPAIR);
  EXPECT_TRUE(job.interrupted());
  EXPECT_EQ(13u, job.counts().filesChecked);
  EXPECT_EQ(14u, fs.logOf("get").size()) << "the root and 13 files";
  // Every file handled was handled whole: the suspects among f100 .. f112 repaired.
  EXPECT_EQ((std::vector<std::string>{"C:\\d\\f100 128", "C:\\d\\f104 128", "C:\\d\\f108 128",
                                      "C:\\d\\f112 128"}),
            fs.logOf("set"));
  EXPECT_EQ(0u, fs.logOf("find").size() - 1) << "no second root";
}

TEST_F(RunControlTest, RecordsPendingAtTheStopReachTheFile) {
  fs.stopWhen([&] { return fs.logOf("get").size() >= 30; });
  EXPECT_EQ(0, runTool(fs, {L"list", L"C:\\d"}));
  // f100 .. f128 were read: the suspects among them are all in the file.
  std::string expected;
  for (int i = 0; i < 29; i += 4) expected += "\r\n12583, C:\\d\\f" + std::to_string(100 + i);
  EXPECT_EQ(expected, resultOf(L"1000badFiles.txt"));
  EXPECT_EQ("", fs.console());
}

TEST_F(RunControlTest, PendingRecordsReachTheFileOnceASecond) {
  fs.setClockStep(100);  // each clock read is 100 ms later
  std::vector<size_t> sizes;  // the file's size each time a word is read
  fs.stopWhen([&] {
    sizes.push_back(resultOf(L"1000allFiles.txt").size());
    return false;
  });
  ScanJob job(fs);
  job.roots() = {L"C:\\d"};
  job.startJob(MODE_PATHS | MODE_LISTALL);
  // The clock is read every 16 entries: the first read after the file was
  // opened is 100 ms on, so the records go out at the tenth read, 160 entries in.
  // With 40 files that never comes: the file fills only at the end.
  EXPECT_EQ(0u, sizes.back());

  FakePlatform slow;  // a slow disk: a second between clock reads
  slow.addSystemDrive();
  for (int i = 0; i < 40; ++i) slow.addFile(L"C:\\d\\f" + std::to_wstring(100 + i));
  slow.setClockStep(1000);
  std::vector<size_t> seen;
  slow.stopWhen([&] {
    seen.push_back(slow.contentOf(kToolFolder + L"1000allFiles.txt").size());
    return false;
  });
  ScanJob slowJob(slow);
  slowJob.roots() = {L"C:\\d"};
  slowJob.startJob(MODE_PATHS | MODE_LISTALL);
  // Entry 16 of the run (the root, "." and ".." count) reads the clock and
  // writes the 12 records found by then; entry 32 the next 16.
  const size_t record = std::string("\r\n32, C:\\d\\f100").size();
  EXPECT_EQ(0u, seen[15]);
  EXPECT_EQ(12 * record, seen[16]);
  EXPECT_EQ(12 * record, seen[31]);
  EXPECT_EQ(28 * record, seen[32]);
}

TEST_F(RunControlTest, CloudFoldersAreWalkedLinksAreNot) {
  fs.addCloudDir(L"C:\\d\\OneDrive");
  fs.addFile(L"C:\\d\\OneDrive\\doc.txt", SUSPECT_ATTRIBUTES);
  fs.addDir(L"C:\\d\\junction", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
  fs.addFile(L"C:\\d\\junction\\inside.txt", SUSPECT_ATTRIBUTES);
  EXPECT_EQ(0, runTool(fs, {L"list", L"C:\\d"}));
  const std::string records = resultOf(L"1000badFiles.txt");
  EXPECT_NE(std::string::npos, records.find("\r\n12583, C:\\d\\OneDrive\\doc.txt"));
  EXPECT_EQ(std::string::npos, records.find("inside")) << records;
  EXPECT_EQ(std::vector<std::string>{}, [&] {
    std::vector<std::string> finds;
    for (const std::string& pattern : fs.logOf("find")) {
      if (pattern.find("junction") != std::string::npos) finds.push_back(pattern);
    }
    return finds;
  }());
}

TEST(RunCounts, SayWhatWasFoundAndWhatCouldNotBeReached) {
  FakePlatform fs;
  fs.addSystemDrive();
  fs.addFile(L"C:\\d\\bad", SUSPECT_ATTRIBUTES);
  fs.addFile(L"C:\\d\\stuck", SUSPECT_ATTRIBUTES);
  fs.refuseAttributeWrites(L"C:\\d\\stuck");
  fs.addFile(L"C:\\d\\gone");
  fs.makeVanishing(L"C:\\d\\gone");
  fs.addFile(L"C:\\d\\ok");
  for (int i = 0; i < 7; ++i) fs.makeUnlistable(L"C:\\d\\locked" + std::to_wstring(i));
  fs.addDir(L"C:\\d\\empty");
  ScanJob job(fs);
  job.roots() = {L"C:\\d", L"C:\\missing", L"C:\\d\\ok", L"C:\\*.txt"};
  job.startJob(MODE_PATHS | MODE_REPAIR);
  const RunCounts& counts = job.counts();
  EXPECT_EQ(5u, counts.filesChecked);
  EXPECT_EQ(1u, counts.unreadable);
  EXPECT_EQ(1u, counts.changed);
  EXPECT_EQ(1u, counts.failed);
  EXPECT_EQ(1u, counts.records);
  EXPECT_EQ(7u, counts.unlistedFolders);
  EXPECT_EQ((std::vector<std::wstring>{L"C:\\d\\locked0", L"C:\\d\\locked1", L"C:\\d\\locked2",
                                       L"C:\\d\\locked3", L"C:\\d\\locked4"}),
            counts.firstUnlistedFolders);
  EXPECT_EQ((std::vector<std::wstring>{L"C:\\missing", L"C:\\*.txt"}), counts.unreadableRoots);
  EXPECT_FALSE(job.interrupted());
  EXPECT_TRUE(job.resultFileOpen());
}

TEST(RunCounts, AnEmptyDriveIsNoFailure) {
  FakePlatform fs;
  fs.addSystemDrive();
  fs.addDrive(L"E:\\", DRIVE_FIXED);
  fs.addDrive(L"F:\\", DRIVE_FIXED);
  fs.makeUnlistable(L"F:\\");
  ScanJob job(fs);
  job.startJob(MODE_FIXED_DRIVES | MODE_LIST);
  EXPECT_EQ(std::vector<std::wstring>{L"F:\\"}, job.counts().firstUnlistedFolders);
  EXPECT_TRUE(job.counts().unreadableRoots.empty());
}

}  // namespace
}  // namespace tavrin::test
