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
};

TEST(WindowsVolume, AnElevatedRunFlushesTheVolumeThenReadsItInIndexOrder) {
  FakeAccess access;
  std::wstring why;
  const auto volume = openWindowsVolume(access, L"C:\\data", why);
  ASSERT_NE(nullptr, volume);
  EXPECT_EQ((std::vector<std::string>{"volume of C:\\data", "elevated?", "flush \\\\.\\C:", "open \\\\.\\C:",
                                      "record of C:\\data"}),
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
       L"the system did not write its changes to \\\\.\\C:", 3},
      {"not opened", [](FakeAccess& a) { a.opens = false; }, L"no read access to \\\\.\\C:", 4},
      {"no file index", [](FakeAccess& a) { a.record.reset(); }, L"no read access to \\\\.\\C:", 5},
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
