// The Windows walk's own decisions: a paging file's word from a listing,
// the path limit of the paths as built, and listings through a folder's
// handle (run under Wine, on a folder of its own).
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/windows/win32_folders.h"

namespace tavrin {
namespace {

// A listing that hands out `entries` and counts how often it was asked.
struct Listing {
  std::vector<std::pair<std::wstring, uint32_t>> entries;
  size_t next = 0;
  int calls = 0;
  bool operator()(ListedEntry& entry) {
    ++calls;
    if (next == entries.size()) return false;
    entry.name = entries[next].first;
    entry.attributes = entries[next++].second;
    return true;
  }
};

TEST(PagingFile, ASharingViolationIsAnsweredFromTheListing) {
  Listing listing{{{L"pagefile.sys", 0x26}}};
  EXPECT_EQ(0x26u, wordAfterFailedRead(ERROR_SHARING_VIOLATION, L"pagefile.sys", std::ref(listing)));
  // A listing by name matches by pattern: only the name itself counts.
  Listing patterns{{{L"a1c", 0x20}, {L"a?c", 0x21}, {L"abc", 0x22}}};
  EXPECT_EQ(0x21u, wordAfterFailedRead(ERROR_SHARING_VIOLATION, L"a?c", std::ref(patterns)));
  Listing others{{{L"PAGEFILE.SYS", 0x26}, {L"pagefile.sys2", 0x26}}};
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES,
            wordAfterFailedRead(ERROR_SHARING_VIOLATION, L"pagefile.sys", std::ref(others)));
  Listing empty;
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES,
            wordAfterFailedRead(ERROR_SHARING_VIOLATION, L"gone", std::ref(empty)));
}

TEST(PagingFile, OtherFailuresNeverListTheFolder) {
  for (const DWORD error : {DWORD{ERROR_FILE_NOT_FOUND}, DWORD{ERROR_ACCESS_DENIED},
                            DWORD{ERROR_FILENAME_EXCED_RANGE}}) {
    Listing listing{{{L"f", 0x20}}};
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, wordAfterFailedRead(error, L"f", std::ref(listing)));
    EXPECT_EQ(0, listing.calls);
  }
}

// C:\t\ as the walk builds it, and its literal form.
FolderPath folder(std::wstring shown = L"C:\\t\\") {
  FolderPath path;
  path.shown = std::move(shown);
  path.literal = L"\\\\?\\C:\\t\\";
  path.added = 4;
  return path;
}

TEST(FolderPath, EntriesAreOneNameBelowTheFolderAsBuilt) {
  EXPECT_EQ(L"dot.", folder().nameIn(L"C:\\t\\dot.").value_or(L"-"));
  EXPECT_FALSE(folder().nameIn(L"C:\\t\\sub\\x").has_value());
  EXPECT_FALSE(folder().nameIn(L"C:\\t\\").has_value());
  EXPECT_FALSE(folder().nameIn(L"C:\\u\\x").has_value());
  // Relative and drive-relative roots keep their form.
  EXPECT_EQ(L"x", folder(L"C:").nameIn(L"C:x").value_or(L"-"));
  EXPECT_EQ(L"x", folder(L"t\\").nameIn(L"t\\x").value_or(L"-"));
  EXPECT_EQ(L"\\\\?\\C:\\t\\dot.", folder().literalOf(L"dot."));
  const FolderPath sub = folder().child(L"sub.", L"C:\\t\\sub.\\");
  EXPECT_EQ(L"\\\\?\\C:\\t\\sub.\\", sub.literal);
  EXPECT_EQ(L"C:\\t\\sub.\\", sub.shown);
}

// A file's full path of 260 characters or more is refused, and a folder
// whose "folder\*" reaches 260, as for a program that is not long-path aware.
TEST(FolderPath, ThePathLimitHoldsForTheFullPath) {
  const size_t base = std::wstring(L"C:\\t\\").size();
  EXPECT_FALSE(folder().entryTooLong(259 - base));
  EXPECT_TRUE(folder().entryTooLong(260 - base));
  EXPECT_FALSE(folder().patternTooLong(257 - base));  // "...\name\*" is 259
  EXPECT_TRUE(folder().patternTooLong(258 - base));
  FolderPath literal = folder();
  literal.limited = false;  // typed with "\\?\"
  EXPECT_FALSE(literal.entryTooLong(30000));
  EXPECT_FALSE(literal.child(L"x", L"\\\\?\\C:\\t\\x\\").patternTooLong(30000));
}

// A folder of this test's own, under the temporary folder.
class RealFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    ASSERT_NE(0u, GetTempPathW(MAX_PATH, temp));
    root_ = std::wstring(L"\\\\?\\") + temp + L"tavrin-folders-" + std::to_wstring(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryW(root_.c_str(), nullptr));
    for (const wchar_t* name : {L"dot", L"dot.", L"sub", L"CON"}) {
      const std::wstring path = root_ + L"\\" + name;
      if (std::wstring(name) == L"sub") {
        ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
      } else {
        const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        CloseHandle(file);
      }
    }
    folder_ = CreateFileW(root_.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, folder_);
  }

  void TearDown() override {
    if (folder_ != INVALID_HANDLE_VALUE) CloseHandle(folder_);
    for (const wchar_t* name : {L"dot", L"dot.", L"CON"}) DeleteFileW((root_ + L"\\" + name).c_str());
    RemoveDirectoryW((root_ + L"\\sub").c_str());
    RemoveDirectoryW(root_.c_str());
  }

  std::wstring root_;
  HANDLE folder_ = INVALID_HANDLE_VALUE;
};

TEST_F(RealFolder, TheHandleListsEveryNameAsItIs) {
  FolderReader reader(folder_);
  std::vector<std::wstring> names;
  ListedEntry entry;
  while (reader.next(entry)) {
    names.emplace_back(entry.name);
    if (entry.name == L"sub") {
      EXPECT_EQ(FILE_ATTRIBUTE_DIRECTORY, entry.attributes & FILE_ATTRIBUTE_DIRECTORY);
    }
    if (entry.name != L"." && entry.name != L"..") {
      EXPECT_NE(0, entry.id);
    }
  }
  EXPECT_FALSE(reader.failed());
  std::sort(names.begin(), names.end());
  EXPECT_EQ((std::vector<std::wstring>{L".", L"..", L"CON", L"dot", L"dot.", L"sub"}), names);
}

TEST_F(RealFolder, AListingByNameFindsThatNameAlone) {
  FolderReader reader(folder_, L"dot.");
  ListedEntry entry;
  std::vector<std::wstring> names;
  while (reader.next(entry)) names.emplace_back(entry.name);
  EXPECT_FALSE(reader.failed());
  EXPECT_EQ(std::vector<std::wstring>{L"dot."}, names);
  // A handle keeps the name of its first listing: each name needs its own.
  const HANDLE again = CreateFileW(root_.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, again);
  FolderReader none(again, L"missing");
  EXPECT_FALSE(none.next(entry));
  EXPECT_FALSE(none.failed());
  CloseHandle(again);
}

}  // namespace
}  // namespace tavrin
