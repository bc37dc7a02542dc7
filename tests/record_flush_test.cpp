// Records found before the walk stops to wait (a disk retrying a read), and
// before memory runs out, reach the result file all the same: each once, in
// the order they were found.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "fake_platform.h"
#include "main.h"
#include "scan_job.h"

namespace tavrin::test {
namespace {

// A result file the flusher thread and the test may both look at.
class SharedFile {
 public:
  bool append(std::wstring_view text) {
    const std::lock_guard lock(mutex_);
    if (limit_ && content_.size() + text.size() > *limit_) {
      failed_ = true;
      changed_.notify_all();
      return false;
    }
    content_ += text;
    changed_.notify_all();
    return true;
  }
  // Waits until a write failed, up to `deadline`; whether one did.
  bool waitForFailure(std::chrono::seconds deadline) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, deadline, [&] { return failed_; });
  }
  // Waits until the file holds `text`, up to `deadline`; what it holds then.
  std::wstring waitFor(const std::wstring& text, std::chrono::seconds deadline) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, deadline, [&] { return content_.find(text) != std::wstring::npos; });
    return content_;
  }
  std::wstring content() {
    const std::lock_guard lock(mutex_);
    return content_;
  }
  void failAfter(size_t characters) { limit_ = characters; }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::wstring content_;
  std::optional<size_t> limit_;
  bool failed_ = false;
};

class SharedResultFile final : public ResultFile {
 public:
  explicit SharedResultFile(SharedFile& file) : file_(file) {}
  bool write(std::wstring_view text) override { return file_.append(text); }
  std::wstring error() const override { return L"no space left on the disk"; }

 private:
  SharedFile& file_;
};

// The in-memory volume with a flusher thread. Reading the word of `stall`
// waits until the records found before it are in the file (or a generous
// deadline passes): the walk is held up, only the flusher can write them.
class StallingPlatform : public FakePlatform {
 public:
  std::thread startThread(std::function<void()> work) override { return std::thread(std::move(work)); }
  std::unique_ptr<ResultFile> createResultFile(const std::wstring& path, CreateFailure& failure) override {
    FakePlatform::createResultFile(path, failure);  // the log and the name, as before
    return std::make_unique<SharedResultFile>(file);
  }
  uint32_t getFileAttributes(const std::wstring& path) override {
    if (path == stall && awaitFailure) failedDuringStall = file.waitForFailure(std::chrono::seconds(30));
    if (path == stall && !awaitFailure) seenDuringStall = file.waitFor(awaited, std::chrono::seconds(30));
    return FakePlatform::getFileAttributes(path);
  }

  SharedFile file;
  std::wstring stall;
  std::wstring awaited;
  std::wstring seenDuringStall;
  bool awaitFailure = false;
  bool failedDuringStall = false;
};

std::wstring recordsOf(const std::vector<std::wstring>& paths) {
  std::wstring text;
  for (const std::wstring& path : paths) text += L"\n12583, " + path;
  return text;
}

// The console's bytes for `text`: line feeds as the fake writes them.
std::string crlf(const std::wstring& text) {
  std::string bytes;
  for (const char c : toBytes(text)) bytes += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return bytes;
}

// `count` suspect files in C:\d, listed before the one the walk waits on.
std::vector<std::wstring> addSuspects(FakePlatform& fs, int count) {
  std::vector<std::wstring> paths;
  for (int i = 0; i < count; ++i) {
    paths.push_back(L"C:\\d\\a" + std::to_wstring(100 + i));
    fs.addFile(paths.back(), SUSPECT_ATTRIBUTES);
  }
  return paths;
}

TEST(RecordFlusher, RecordsReachTheFileWhileTheWalkWaits) {
  StallingPlatform fs;
  fs.addSystemDrive();
  std::vector<std::wstring> bad = addSuspects(fs, 50);
  fs.addFile(L"C:\\d\\b_stall", SUSPECT_ATTRIBUTES);
  fs.stall = L"C:\\d\\b_stall";
  fs.awaited = recordsOf(bad);
  EXPECT_EQ(0, runTool(fs, {L"list", L"C:\\d"}));
  EXPECT_EQ(recordsOf(bad), fs.seenDuringStall);
  bad.push_back(L"C:\\d\\b_stall");
  EXPECT_EQ(recordsOf(bad), fs.file.content());  // each once, in order
  EXPECT_EQ("", fs.console());
}

// A write of the flusher's that fails leaves the records pending; the walk
// then moves them, and every later one, to the console, as on a full disk.
TEST(RecordFlusher, AFailedWriteMidStallLosesNothing) {
  StallingPlatform fs;
  fs.addSystemDrive();
  std::vector<std::wstring> bad = addSuspects(fs, 40);
  fs.addFile(L"C:\\d\\b_stall", SUSPECT_ATTRIBUTES);
  fs.addFile(L"C:\\d\\c", SUSPECT_ATTRIBUTES);
  fs.file.failAfter(0);
  fs.stall = L"C:\\d\\b_stall";
  fs.awaitFailure = true;
  EXPECT_EQ(EXIT_PARTIAL, runTool(fs, {L"list", L"C:\\d"}));
  EXPECT_TRUE(fs.failedDuringStall);
  bad.push_back(L"C:\\d\\b_stall");
  bad.push_back(L"C:\\d\\c");
  const std::wstring path = kToolFolder + L"1000badFiles.txt";
  EXPECT_EQ(L"", fs.file.content());
  EXPECT_EQ(crlf(L"\nCould not write to the result file " + path + L", the records follow here" +
                 recordsOf(bad)),
            fs.console());
  EXPECT_EQ("tavrin: could not write to the result file " + toBytes(path) +
                ": no space left on the disk; the records follow on standard output\n"
                "tavrin: the result file " + toBytes(path) +
                " holds the records up to where it could not be written; the rest are on standard output\n",
            fs.errors());
}

// Memory running out mid-walk (a huge folder) ends the walk: the records
// found before are written, standard error says so, and the run is partial.
class OutOfMemoryPlatform : public FakePlatform {
 public:
  std::unique_ptr<DirectorySearch> findFirstFile(const std::wstring& pattern, FindEntry& first) override {
    if (pattern == L"C:\\huge\\*") throw std::bad_alloc();
    return FakePlatform::findFirstFile(pattern, first);
  }
};

TEST(OutOfMemory, RecordsFoundBeforeAreKept) {
  OutOfMemoryPlatform fs;
  fs.addSystemDrive();
  fs.addFile(L"C:\\a\\x", SUSPECT_ATTRIBUTES);
  fs.addFile(L"C:\\a\\y", SUSPECT_ATTRIBUTES);
  fs.addFile(L"C:\\huge\\z", SUSPECT_ATTRIBUTES);
  fs.addFile(L"C:\\later\\w", SUSPECT_ATTRIBUTES);
  EXPECT_EQ(EXIT_PARTIAL, runTool(fs, {L"list", L"C:\\a", L"C:\\huge", L"C:\\later"}));
  EXPECT_EQ("\r\n12583, C:\\a\\x\r\n12583, C:\\a\\y", fs.contentOf(kToolFolder + L"1000badFiles.txt"));
  EXPECT_EQ("tavrin: out of memory in C:\\huge; the run ended there\n", fs.errors());

  // Without a result file the records are on the console already.
  OutOfMemoryPlatform bare;
  bare.addFile(L"C:\\a\\x", SUSPECT_ATTRIBUTES);
  bare.addFile(L"C:\\huge\\z", SUSPECT_ATTRIBUTES);
  EXPECT_EQ(EXIT_PARTIAL, runTool(bare, {L"repair", L"C:\\a", L"C:\\huge"}));
  EXPECT_NE(std::string::npos, bare.errors().find("tavrin: out of memory in C:\\huge; the run ended there\n"));
}

}  // namespace
}  // namespace tavrin::test
