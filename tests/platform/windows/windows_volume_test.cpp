// The decisions tavrin.exe makes before it reads a volume's file table.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/windows/windows_volume.h"
#include "platform/text.h"

namespace tavrin {
namespace {

class Bytes final : public VolumeBytes {
 public:
  bool read(uint64_t, size_t, uint8_t*) override { return true; }
};

// Answers as told, and notes each call.
class FakeAccess final : public VolumeAccess {
 public:
  std::optional<std::wstring> volume = L"\\\\.\\C:";
  bool isElevated = true, flushes = true, opens = true;
  std::optional<uint64_t> record = 5;
  std::vector<std::string> calls;

  std::optional<std::wstring> ntfsVolumeOf(const std::wstring& root) override {
    calls.push_back("volume of " + toBytes(root));
    return volume;
  }
  bool elevated() override {
    calls.push_back("elevated?");
    return isElevated;
  }
  bool flush(const std::wstring& v) override {
    calls.push_back("flush " + toBytes(v));
    return flushes;
  }
  std::unique_ptr<VolumeBytes> openForReading(const std::wstring& v) override {
    calls.push_back("open " + toBytes(v));
    return opens ? std::make_unique<Bytes>() : nullptr;
  }
  std::optional<uint64_t> recordOf(const std::wstring& root) override {
    calls.push_back("record of " + toBytes(root));
    return record;
  }
  std::wstring fullPath(const std::wstring& root) override {
    if (root == L"sub") return L"C:\\cwd\\sub";
    if (root == L"C:") return L"C:\\cwd";
    return root;
  }
  uint64_t memoryBudget() override { return 1 << 30; }
  std::unique_ptr<ChangeJournal> openJournal(const std::wstring& v) override {
    calls.push_back("journal of " + toBytes(v));
    return nullptr;
  }
};

void putU64(std::vector<uint8_t>& bytes, size_t at, uint64_t value) {
  for (int i = 0; i < 8; ++i) bytes[at + static_cast<size_t>(i)] = static_cast<uint8_t>(value >> (8 * i));
}

// One record of a journal read: `version` 2 (64-bit references) or 3.
void addJournalRecord(std::vector<uint8_t>& bytes, uint16_t version, uint64_t parent) {
  const size_t at = bytes.size();
  const size_t length = version == 2 ? 64 : 80;
  bytes.resize(at + length);
  putU64(bytes, at, length | uint64_t{version} << 32);
  putU64(bytes, at + (version == 2 ? 16 : 24), parent);
}

TEST(WindowsVolume, ReadsTheFoldersOfAJournalsRecords) {
  std::vector<uint8_t> bytes(8);
  putU64(bytes, 0, 4096);
  addJournalRecord(bytes, 2, 0x0003000000000010);  // record 16, sequence 3
  addJournalRecord(bytes, 3, 0x0001000000000005);
  std::vector<uint64_t> folders;
  int64_t next = 0;
  ASSERT_TRUE(parseJournalRecords(bytes.data(), bytes.size(), folders, next));
  EXPECT_EQ(4096, next);
  EXPECT_EQ((std::vector<uint64_t>{16, 5}), folders);
  // A record that claims more than the read holds, or a version unknown.
  bytes[8] = 0xF8;
  EXPECT_FALSE(parseJournalRecords(bytes.data(), bytes.size(), folders, next));
  std::vector<uint8_t> unknown(8);
  addJournalRecord(unknown, 2, 16);
  unknown[8 + 4] = 9;
  EXPECT_FALSE(parseJournalRecords(unknown.data(), unknown.size(), folders, next));
  EXPECT_FALSE(parseJournalRecords(unknown.data(), 4, folders, next));
}

TEST(WindowsVolume, AnElevatedRunFlushesTheVolumeThenReadsItInIndexOrder) {
  FakeAccess access;
  std::wstring why;
  const auto volume = openWindowsVolume(access, L"C:\\data", why);
  ASSERT_NE(nullptr, volume);
  EXPECT_EQ((std::vector<std::string>{"volume of C:\\data", "elevated?", "journal of \\\\.\\C:", "flush \\\\.\\C:",
                                      "open \\\\.\\C:", "record of C:\\data"}),
            access.calls);
  EXPECT_EQ(L"", why);
  EXPECT_EQ(5u, volume->rootRecord);
  EXPECT_EQ(ListingOrder::Collation, volume->order);
  EXPECT_TRUE(volume->checkFolders);  // rights and the path limit, as the walk meets them
  EXPECT_EQ(260u, volume->filePathLimit);
  EXPECT_EQ(0u, openWindowsVolume(access, L"\\\\?\\C:\\deep", why)->filePathLimit);
  EXPECT_EQ(uint64_t{1} << 30, volume->memoryBudget);
}

// Paths are held to the limit as the system measures them: "sub\\f" from
// C:\\cwd is C:\\cwd\\sub\\f, and "C:f" is C:\\cwd\\f.
TEST(WindowsVolume, MeasuresPathsFromARelativeRootWithTheCurrentFolder) {
  FakeAccess access;
  std::wstring why;
  EXPECT_EQ(0u, openWindowsVolume(access, L"C:\\data", why)->pathPrefix);
  EXPECT_EQ(7u, openWindowsVolume(access, L"sub", why)->pathPrefix);
  EXPECT_EQ(5u, openWindowsVolume(access, L"C:", why)->pathPrefix);
}

TEST(WindowsVolume, WalksWithoutAWordForOtherFileSystemsAndSaysWhyOtherwise) {
  struct Case {
    const char* what;
    void (*set)(FakeAccess&);
    std::wstring why;
    size_t calls;
  };
  const std::vector<Case> cases = {
      {"FAT", [](FakeAccess& a) { a.volume.reset(); }, L"", 1},
      {"not elevated", [](FakeAccess& a) { a.isElevated = false; },
       L"the volume can be read directly only by an elevated run", 2},
      {"not flushed", [](FakeAccess& a) { a.flushes = false; },
       L"the system did not write its changes to \\\\.\\C:", 4},
      {"not opened", [](FakeAccess& a) { a.opens = false; }, L"no read access to \\\\.\\C:", 5},
      {"no file index", [](FakeAccess& a) { a.record.reset(); }, L"no read access to \\\\.\\C:", 6},
  };
  for (const Case& c : cases) {
    FakeAccess access;
    c.set(access);
    std::wstring why;
    EXPECT_EQ(nullptr, openWindowsVolume(access, L"C:\\", why)) << c.what;
    EXPECT_EQ(c.why, why) << c.what;
    EXPECT_EQ(c.calls, access.calls.size()) << c.what;  // nothing read before the flush
  }
}

TEST(WindowsVolume, ReportsWordsAsGetFileAttributesDoes) {
  EXPECT_EQ(0x80u, windowsReportedWord(0, false));
  EXPECT_EQ(0x3127u, windowsReportedWord(0x3127, false));
  EXPECT_EQ(0x10u, windowsReportedWord(0x10000000, true));
  EXPECT_EQ(0x430u, windowsReportedWord(0x420, true));
}

}  // namespace
}  // namespace tavrin
