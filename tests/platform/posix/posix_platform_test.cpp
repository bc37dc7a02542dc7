// The Linux platform on an ordinary file system (no NTFS word): derived
// words, listings, result files and the console. NTFS volumes are covered by
// the end-to-end suite in tests/ntfs.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/posix/posix_attributes.h"
#include "platform/posix/posix_platform.h"
#include "platform/text.h"

namespace tavrin {
namespace {

TEST(DerivedWord, AsWindowsClientsSeeSuchFiles) {
  EXPECT_EQ(0x20u, derivedAttributes(S_IFREG | 0644, false));
  EXPECT_EQ(0x20u, derivedAttributes(S_IFREG | 0200, false));
  EXPECT_EQ(0x20u, derivedAttributes(S_IFREG | 0002, false));
  EXPECT_EQ(0x21u, derivedAttributes(S_IFREG | 0444, false));
  EXPECT_EQ(0x21u, derivedAttributes(S_IFREG | 0000, false));
  EXPECT_EQ(0x10u, derivedAttributes(S_IFDIR | 0755, false));
  EXPECT_EQ(0x11u, derivedAttributes(S_IFDIR | 0555, false));
  EXPECT_EQ(0x420u, derivedAttributes(S_IFLNK | 0777, false));
  EXPECT_EQ(0x410u, derivedAttributes(S_IFLNK | 0777, true));
  EXPECT_EQ(0x20u, derivedAttributes(S_IFIFO | 0644, false));
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

size_t openDescriptors() {
  size_t count = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (readdir(dir)) ++count;
  closedir(dir);
  return count;
}

class PosixFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/tavrin-posix-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(name));
    dir_ = name;
  }
  void TearDown() override {
    const std::string command = "chmod -R u+w '" + dir_ + "' && rm -rf '" + dir_ + "'";
    ASSERT_EQ(0, system(command.c_str()));
  }

  std::string at(const std::string& name) const { return dir_ + "/" + name; }
  std::wstring wideAt(const std::string& name) const { return toWide(at(name)); }
  void makeFile(const std::string& name, mode_t mode = 0644) const {
    std::ofstream(at(name)) << "x";
    chmod(at(name).c_str(), mode);
  }

  // Every entry of a listing of `pattern`, by name.
  std::map<std::wstring, uint32_t> list(const std::wstring& pattern) {
    std::map<std::wstring, uint32_t> entries;
    FindEntry entry;
    auto search = platform_.findFirstFile(pattern, entry);
    if (!search) return entries;
    do {
      EXPECT_TRUE(entries.emplace(entry.name, entry.attributes).second) << toBytes(entry.name);
    } while (search->next(entry));
    return entries;
  }

  std::string dir_;
  PosixPlatform platform_;
};

TEST_F(PosixFolder, WordsOfFilesWithoutAnNtfsWord) {
  makeFile("plain");
  makeFile("readonly", 0444);
  mkdir(at("sub").c_str(), 0755);
  symlink("plain", at("tofile").c_str());
  symlink("sub", at("todir").c_str());
  symlink("missing", at("dangling").c_str());
  EXPECT_EQ(0x20u, platform_.getFileAttributes(wideAt("plain")));
  EXPECT_EQ(0x21u, platform_.getFileAttributes(wideAt("readonly")));
  EXPECT_EQ(0x10u, platform_.getFileAttributes(wideAt("sub")));
  EXPECT_EQ(0x10u, platform_.getFileAttributes(wideAt("sub/")));
  EXPECT_EQ(0x420u, platform_.getFileAttributes(wideAt("tofile")));
  // A root that links to a directory must be walked, so it carries 0x10.
  EXPECT_EQ(0x410u, platform_.getFileAttributes(wideAt("todir")));
  EXPECT_EQ(0x420u, platform_.getFileAttributes(wideAt("dangling")));
}

// The walk asks for the words of a folder's files while the folder is
// listed; the answers must not depend on that.
TEST_F(PosixFolder, WordsAreTheSameWhileTheirFolderIsListed) {
  makeFile("plain");
  makeFile("readonly", 0444);
  mkdir(at("sub").c_str(), 0755);
  makeFile("sub/inner", 0444);
  symlink("plain", at("tofile").c_str());
  symlink("sub", at("todir").c_str());
  const std::vector<std::string> names = {"plain", "readonly", "sub", "sub/inner",
                                          "tofile", "todir", "gone"};
  std::map<std::string, uint32_t> unlisted;
  for (const std::string& name : names) unlisted[name] = platform_.getFileAttributes(wideAt(name));
  FindEntry entry;
  auto outer = platform_.findFirstFile(toWide(dir_) + L"/*", entry);
  ASSERT_NE(nullptr, outer);
  for (const std::string& name : names) {
    EXPECT_EQ(unlisted[name], platform_.getFileAttributes(wideAt(name))) << name;
  }
  {
    auto inner = platform_.findFirstFile(wideAt("sub/*"), entry);
    ASSERT_NE(nullptr, inner);
    EXPECT_EQ(0x21u, platform_.getFileAttributes(wideAt("sub/inner")));
    EXPECT_EQ(0x20u, platform_.getFileAttributes(wideAt("plain")));
  }
  EXPECT_EQ(0x21u, platform_.getFileAttributes(wideAt("readonly")));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, platform_.getFileAttributes(wideAt("gone")));
}

TEST_F(PosixFolder, UnreadableEntriesGiveTheFailureWord) {
  makeFile("plain");
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, platform_.getFileAttributes(wideAt("gone")));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, platform_.getFileAttributes(wideAt("plain/below")));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, platform_.getFileAttributes(wideAt(std::string(300, 'n'))));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, platform_.getFileAttributes(L""));
}

TEST_F(PosixFolder, NoNtfsWordNoWrite) {
  makeFile("plain");
  EXPECT_FALSE(platform_.setFileAttributes(wideAt("plain"), FILE_ATTRIBUTE_NORMAL));
  EXPECT_FALSE(platform_.setFileAttributes(wideAt("gone"), FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(0x20u, platform_.getFileAttributes(wideAt("plain")));
  EXPECT_EQ(-1, access(at("gone").c_str(), F_OK));
}

TEST_F(PosixFolder, ListingGivesEveryEntryWithTheBitsTheWalkNeeds) {
  makeFile("plain");
  makeFile("readonly", 0444);
  makeFile(".hidden");
  mkdir(at("sub").c_str(), 0755);
  mkdir(at(".cache").c_str(), 0755);
  symlink("plain", at("tofile").c_str());
  symlink("sub", at("todir").c_str());
  symlink("missing", at("dangling").c_str());
  mkfifo(at("fifo").c_str(), 0644);
  const std::map<std::wstring, uint32_t> expected = {
      {L".", 0x10},        {L"..", 0x10},      {L"plain", 0x20},    {L"readonly", 0x20},
      {L".hidden", 0x20},  {L"sub", 0x10},     {L".cache", 0x10},   {L"tofile", 0x420},
      {L"todir", 0x410},   {L"dangling", 0x420}, {L"fifo", 0x20},
  };
  EXPECT_EQ(expected, list(toWide(dir_) + L"/*"));
}

TEST_F(PosixFolder, ListingOfNothing) {
  makeFile("plain");
  FindEntry entry;
  EXPECT_EQ(nullptr, platform_.findFirstFile(wideAt("gone/*"), entry));
  EXPECT_EQ(nullptr, platform_.findFirstFile(wideAt("plain/*"), entry));
  EXPECT_EQ(nullptr, platform_.findFirstFile(wideAt("*.txt/*"), entry));
  mkdir(at("empty").c_str(), 0755);
  EXPECT_EQ((std::map<std::wstring, uint32_t>{{L".", 0x10}, {L"..", 0x10}}),
            list(wideAt("empty/*")));
}

TEST_F(PosixFolder, NamesThatAreNotUtf8SurviveTheRoundTrip) {
  const std::string name = "caf\xe9\xff.txt";
  makeFile(name);
  makeFile("caf\xc3\xa9");
  const auto entries = list(toWide(dir_) + L"/*");
  ASSERT_EQ(1u, entries.count(toWide(name)));
  EXPECT_EQ(1u, entries.count(L"caf\u00e9"));
  EXPECT_EQ(std::wstring(L"caf\xDCE9\xDCFF.txt"), toWide(name));
  EXPECT_EQ(0x20u, platform_.getFileAttributes(toWide(dir_) + L"/" + toWide(name)));
}

// The folders of the walk stay open as far as the descriptor budget goes,
// the innermost one always; an entry is read through its folder's
// descriptor, the same word either way, and the way back up still works
// where an outer folder had to be closed.
TEST_F(PosixFolder, NestedListingsHoldFoldersWithinTheBudget) {
  for (const char* name : {"a", "a/b", "a/b/c"}) mkdir(at(name).c_str(), 0755);
  makeFile("a/b/file", 0444);
  makeFile("a/middle", 0444);
  for (const size_t budget : {size_t{1}, size_t{2}, size_t{0}}) {
    PosixSystemFiles files;
    files.heldFolders = budget;
    PosixPlatform platform(files);
    const size_t before = openDescriptors();
    {
      FindEntry entry;
      auto outer = platform.findFirstFile(toWide(dir_) + L"/*", entry);
      auto middle = platform.findFirstFile(wideAt("a/*"), entry);
      auto inner = platform.findFirstFile(wideAt("a/b/*"), entry);
      ASSERT_NE(nullptr, outer);
      ASSERT_NE(nullptr, middle);
      ASSERT_NE(nullptr, inner);
      EXPECT_EQ(before + (budget == 0 ? 3 : budget), openDescriptors()) << budget;
      EXPECT_EQ(0x21u, platform.getFileAttributes(wideAt("a/b/file")));
      inner.reset();
      EXPECT_EQ(0x21u, platform.getFileAttributes(wideAt("a/middle"))) << budget;
      FindEntry next;
      EXPECT_TRUE(middle->next(next)) << budget;
      EXPECT_FALSE(middle->failed());
    }
    EXPECT_EQ(before, openDescriptors());
  }
}

// A folder moved away while the walk is inside it: its ".." is no longer
// the folder around it, and a link put in that one's place leads elsewhere.
// With the outer folder kept open the walk goes on in it; closed for want
// of descriptors, the rest of its listing is given up and said to have
// failed, and nothing is read by path.
TEST_F(PosixFolder, TheWayBackUpNeverGoesByPath) {
  for (const char* name : {"t", "t/x", "t/x/d", "other"}) mkdir(at(name).c_str(), 0755);
  makeFile("t/x/e", 0444);
  makeFile("t/x/f", 0444);
  makeFile("other/e");
  makeFile("other/f");
  for (const size_t budget : {size_t{0}, size_t{1}}) {
    PosixSystemFiles files;
    files.heldFolders = budget;
    PosixPlatform platform(files);
    FindEntry entry;
    auto outer = platform.findFirstFile(wideAt("t/x/*"), entry);
    ASSERT_NE(nullptr, outer);
    {
      auto inner = platform.findFirstFile(wideAt("t/x/d/*"), entry);
      ASSERT_NE(nullptr, inner);
      ASSERT_EQ(0, rename(at("t/x/d").c_str(), at("t/moved").c_str()));
      ASSERT_EQ(0, rename(at("t/x").c_str(), at("t/x.old").c_str()));
      ASSERT_EQ(0, symlink(at("other").c_str(), at("t/x").c_str()));
    }
    std::vector<std::wstring> names;
    while (outer->next(entry)) names.push_back(entry.name);
    if (budget == 0) {
      EXPECT_FALSE(outer->failed());
      EXPECT_EQ(0x21u, platform.getFileAttributes(wideAt("t/x/e")));  // the tree's own
      EXPECT_FALSE(names.empty());
    } else {
      EXPECT_TRUE(outer->failed());
      EXPECT_EQ(L"the folder was moved or replaced during the walk", platform.lastError());
      EXPECT_TRUE(names.empty());
      EXPECT_EQ(INVALID_FILE_ATTRIBUTES, platform.getFileAttributes(wideAt("t/x/e")));
      EXPECT_FALSE(platform.setFileAttributes(wideAt("t/x/e"), 0x80));
      FindEntry first;
      EXPECT_EQ(nullptr, platform.findFirstFile(wideAt("t/x/d2/*"), first));
      EXPECT_EQ(INVALID_FILE_ATTRIBUTES, first.attributes);
    }
    outer.reset();
    ASSERT_EQ(0, unlink(at("t/x").c_str()));
    ASSERT_EQ(0, rename(at("t/x.old").c_str(), at("t/x").c_str()));
    ASSERT_EQ(0, rename(at("t/moved").c_str(), at("t/x/d").c_str()));
  }
}

// Deep in a tree, entries are reached through the open folder:
// the words, the listing's bits and the way back up must not change.
TEST_F(PosixFolder, DeepListingsGiveTheSameWords) {
  std::string path = "d";
  for (int level = 1; level < 40; ++level) path += "/d";
  ASSERT_EQ(0, system(("mkdir -p '" + at(path) + "'").c_str()));
  makeFile(path + "/file", 0444);
  makeFile("d/d/middle");
  symlink("file", at(path + "/tofile").c_str());
  symlink("..", at(path + "/toparent").c_str());

  std::vector<std::unique_ptr<DirectorySearch>> open;
  FindEntry entry;
  for (std::string level = ""; level.size() <= path.size(); level += level.empty() ? "d" : "/d") {
    open.push_back(platform_.findFirstFile(toWide(dir_ + (level.empty() ? "" : "/" + level)) + L"/*", entry));
    ASSERT_NE(nullptr, open.back()) << level;
  }
  const std::wstring bottom = wideAt(path);
  EXPECT_EQ(0x21u, platform_.getFileAttributes(bottom + L"/file"));
  EXPECT_EQ(0x420u, platform_.getFileAttributes(bottom + L"/tofile"));
  EXPECT_EQ(0x410u, platform_.getFileAttributes(bottom + L"/toparent"));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, platform_.getFileAttributes(bottom + L"/gone"));
  EXPECT_FALSE(platform_.setFileAttributes(bottom + L"/file", 0x80));
  open.pop_back();
  EXPECT_EQ((std::map<std::wstring, uint32_t>{{L".", 0x10}, {L"..", 0x10}, {L"file", 0x20},
                                              {L"tofile", 0x420}, {L"toparent", 0x410}}),
            list(bottom + L"/*"));
  while (open.size() > 3) open.pop_back();
  EXPECT_EQ(0x20u, platform_.getFileAttributes(wideAt("d/d/middle")));
}

TEST_F(PosixFolder, ResultFileIsNewAndTakesTheTextAsBytes) {
  const std::wstring path = wideAt("123badFiles.txt");
  CreateFailure why = CreateFailure::Other;
  {
    auto file = platform_.createResultFile(path, why);
    EXPECT_EQ(CreateFailure::None, why);
    ASSERT_NE(nullptr, file);
    EXPECT_TRUE(file->write(L"\n12583, /mnt/c/a.exe"));
    EXPECT_TRUE(file->write(L"\n32, /mnt/c/caf\xDCE9 \u00e9\U0001F600"));
  }
  EXPECT_EQ("\n12583, /mnt/c/a.exe\n32, /mnt/c/caf\xe9 \xc3\xa9\xf0\x9f\x98\x80",
            readFile(at("123badFiles.txt")));
  struct stat status {};
  ASSERT_EQ(0, stat(at("123badFiles.txt").c_str(), &status));
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(0644u & ~mask, status.st_mode & 0777);

  // An existing name is never truncated or written to.
  EXPECT_EQ(nullptr, platform_.createResultFile(path, why));
  EXPECT_EQ(CreateFailure::NameTaken, why);
  EXPECT_EQ("\n12583, /mnt/c/a.exe\n32, /mnt/c/caf\xe9 \xc3\xa9\xf0\x9f\x98\x80",
            readFile(at("123badFiles.txt")));
}

TEST_F(PosixFolder, ResultFileIsNeverCreatedThroughALink) {
  symlink("target", at("1allFiles.txt").c_str());
  CreateFailure why = CreateFailure::None;
  EXPECT_EQ(nullptr, platform_.createResultFile(wideAt("1allFiles.txt"), why));
  EXPECT_EQ(CreateFailure::NameTaken, why);
  EXPECT_EQ(-1, access(at("target").c_str(), F_OK));
  EXPECT_EQ(nullptr, platform_.createResultFile(wideAt("missing/1allFiles.txt"), why));
  EXPECT_EQ(CreateFailure::FolderMissing, why);
}

TEST_F(PosixFolder, ConsoleIsBufferedUntilThePlatformEnds) {
  const std::string path = at("console");
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  {
    PosixPlatform platform({}, fd);
    platform.writeConsole(L"\nINVALID_FILE_ATTRIBUTES for /x/caf\xDCE9");
    platform.writeConsole(L"\n FlagsR: 12583, File: \u00e9");
    EXPECT_EQ("", readFile(path));
  }
  EXPECT_EQ("\nINVALID_FILE_ATTRIBUTES for /x/caf\xe9\n FlagsR: 12583, File: \xc3\xa9",
            readFile(path));
  close(fd);
}

TEST_F(PosixFolder, LargeConsoleOutputIsWrittenAsItComes) {
  const std::string path = at("console");
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  const std::wstring line = L"\n32, " + std::wstring(1000, L'a');
  {
    PosixPlatform platform({}, fd);
    for (int i = 0; i < 200; ++i) platform.writeConsole(line);
    EXPECT_LT(0u, readFile(path).size());
  }
  EXPECT_EQ(200u * 1005u, readFile(path).size());
  close(fd);
}

TEST(PosixPlatformFacts, FolderSeparatorAndClock) {
  PosixPlatform platform;
  EXPECT_EQ(std::optional<std::wstring>(L"/var/lib"), platform.commonAppDataFolder());
  EXPECT_EQ(L'/', platform.separator());
  const auto milliseconds = [] {
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * 1000u +
                                 static_cast<uint64_t>(now.tv_nsec) / 1000000u);
  };
  const uint32_t before = milliseconds();
  const uint32_t tick = platform.tickCount();
  const uint32_t after = milliseconds();
  EXPECT_LE(tick - before, after - before);  // within the two readings, across a wrap too
}

}  // namespace
}  // namespace tavrin
