// Roots, fixed drives and the directory walk.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_platform.h"
#include "scan_job.h"

namespace tavrin::test {
namespace {

class WalkTest : public ::testing::Test {
 protected:
  void SetUp() override { fs.addSystemDrive(); }

  // Runs listall, expecting `status`, and gives the recorded paths, in order.
  std::vector<std::string> listAll(std::vector<std::wstring> roots, int status = EXIT_DONE) {
    roots.insert(roots.begin(), L"listall");
    EXPECT_EQ(status, runTool(fs, roots));
    std::vector<std::string> paths;
    const std::string content = fs.contentOf(kToolFolder + L"1000allFiles.txt");
    for (size_t at = content.find(", "); at != std::string::npos; at = content.find(", ", at)) {
      const size_t end = content.find("\r\n", at);
      paths.push_back(content.substr(at + 2, end == std::string::npos ? end : end - at - 2));
      at = end;
    }
    return paths;
  }

  // The search, close and attribute-read lines of the log, in order.
  std::vector<std::string> traversal() const {
    std::vector<std::string> lines;
    for (const std::string& line : fs.log()) {
      if (line.starts_with("find ") || line.starts_with("close ") || line.starts_with("get ")) {
        lines.push_back(line);
      }
    }
    return lines;
  }

  FakePlatform fs;
};

TEST_F(WalkTest, ASubdirectoryIsWalkedWholeBeforeTheNextSibling) {
  fs.addFile(L"C:\\d\\a.txt");
  fs.addFile(L"C:\\d\\sub\\x.txt");
  fs.addFile(L"C:\\d\\sub\\deeper\\y.txt");
  fs.addDir(L"C:\\d\\sub\\empty");
  fs.addFile(L"C:\\d\\b.txt");
  EXPECT_EQ((std::vector<std::string>{"C:\\d\\a.txt", "C:\\d\\sub\\x.txt",
                                      "C:\\d\\sub\\deeper\\y.txt", "C:\\d\\b.txt"}),
            listAll({L"C:\\d"}));
  EXPECT_EQ((std::vector<std::string>{
                "get C:\\d",
                "find C:\\d\\*",
                "get C:\\d\\a.txt",
                "find C:\\d\\sub\\*",
                "get C:\\d\\sub\\x.txt",
                "find C:\\d\\sub\\deeper\\*",
                "get C:\\d\\sub\\deeper\\y.txt",
                "close C:\\d\\sub\\deeper\\*",
                "find C:\\d\\sub\\empty\\*",
                "close C:\\d\\sub\\empty\\*",
                "close C:\\d\\sub\\*",
                "get C:\\d\\b.txt",
                "close C:\\d\\*",
            }),
            traversal());
}

TEST_F(WalkTest, ReparseDirectoriesAreNeitherEnteredNorReported) {
  fs.addDir(L"C:\\d\\junction", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
  fs.addFile(L"C:\\d\\junction\\inside.txt");
  fs.addFile(L"C:\\d\\link.txt", FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_REPARSE_POINT);
  fs.addDir(L"C:\\d\\.cache");
  fs.addFile(L"C:\\d\\.cache\\c.bin");
  EXPECT_EQ((std::vector<std::string>{"C:\\d\\link.txt", "C:\\d\\.cache\\c.bin"}), listAll({L"C:\\d"}));
  EXPECT_EQ((std::vector<std::string>{"C:\\d\\*", "C:\\d\\.cache\\*"}), fs.logOf("find"));
  EXPECT_EQ(crlf("\n1056, C:\\d\\link.txt\n32, C:\\d\\.cache\\c.bin"),
            fs.contentOf(kToolFolder + L"1000allFiles.txt"));
}

TEST_F(WalkTest, AReparseRootIsStillWalked) {
  fs.addDir(L"C:\\junction", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
  fs.addFile(L"C:\\junction\\inside.txt");
  EXPECT_EQ(std::vector<std::string>{"C:\\junction\\inside.txt"}, listAll({L"C:\\junction"}));
}

TEST_F(WalkTest, DirectoriesNeverReachTheRule) {
  fs.addFile(L"C:\\d\\sub\\f.txt", SUSPECT_ATTRIBUTES);
  fs.addDir(L"C:\\d\\empty");
  EXPECT_EQ(0, runTool(fs, {L"set", L"1", L"C:\\d"}));
  EXPECT_EQ(std::vector<std::string>{"C:\\d\\sub\\f.txt 1"}, fs.logOf("set"));
  EXPECT_EQ((std::vector<std::string>{"C:\\d", "C:\\d\\sub\\f.txt"}), fs.logOf("get"));
}

TEST_F(WalkTest, UnlistableDirectoriesAreSkippedAndNamed) {
  fs.addFile(L"C:\\d\\a.txt");
  fs.addFile(L"C:\\d\\locked\\secret.txt");
  fs.makeUnlistable(L"C:\\d\\locked");
  fs.addFile(L"C:\\d\\b.txt");
  EXPECT_EQ((std::vector<std::string>{"C:\\d\\a.txt", "C:\\d\\b.txt"}),
            listAll({L"C:\\d"}, EXIT_PARTIAL));
  EXPECT_EQ("", fs.console());
  EXPECT_EQ("tavrin: could not list C:\\d\\locked: access denied\n"
            "tavrin: 1 folder could not be listed, named above\n",
            fs.errors());
  EXPECT_EQ(std::vector<std::string>{"C:\\d\\*"}, fs.logOf("close"));
}

TEST_F(WalkTest, AListingThatFailsPartWayKeepsWhatWasHandled) {
  for (const std::wstring name : {L"a", L"b", L"c", L"d"}) fs.addFile(L"C:\\d\\" + name);
  fs.failListingAfter(L"C:\\d", 4);  // ".", "..", a, b
  EXPECT_EQ((std::vector<std::string>{"C:\\d\\a", "C:\\d\\b"}), listAll({L"C:\\d"}, EXIT_PARTIAL));
  EXPECT_EQ(std::vector<std::string>{"C:\\d\\*"}, fs.logOf("close"));
  EXPECT_EQ("", fs.console());
  EXPECT_EQ("tavrin: could not list C:\\d: I/O error\ntavrin: 1 folder could not be listed, named above\n",
            fs.errors());
}

TEST_F(WalkTest, ASubfolderListingThatFailsPartWayIsNamedAndTheWalkGoesOn) {
  for (const std::wstring name : {L"a", L"b", L"c"}) fs.addFile(L"C:\\d\\sub\\" + name);
  fs.addFile(L"C:\\d\\z");
  fs.failListingAfter(L"C:\\d\\sub", 3);
  fs.addDir(L"C:\\d\\dead");
  fs.failListingAfter(L"C:\\d\\dead", 0);
  EXPECT_EQ((std::vector<std::string>{"C:\\d\\sub\\a", "C:\\d\\z"}),
            listAll({L"C:\\d"}, EXIT_PARTIAL));
  EXPECT_EQ("tavrin: could not list C:\\d\\sub: I/O error\n"
            "tavrin: could not list C:\\d\\dead: I/O error\n"
            "tavrin: 2 folders could not be listed, named above\n",
            fs.errors());
  EXPECT_EQ(2u, fs.logOf("close").size()) << "each search that started is closed";
}

TEST_F(WalkTest, RootsAreVisitedInOrderAsTyped) {
  fs.addFile(L"C:\\d\\a.txt");
  fs.addFile(L"C:\\e\\b.txt");
  fs.addFile(L"C:\\top.txt");
  EXPECT_EQ((std::vector<std::string>{"C:\\e\\b.txt", "C:\\d\\a.txt", "C:\\d\\a.txt", "C:\\d\\a.txt",
                                      "C:\\d\\a.txt"}),
            listAll({L"C:\\e", L"C:\\d\\a.txt", L"C:\\nowhere", L"C:\\d", L"C:\\d\\", L"C:\\d\\a.txt"},
                    EXIT_FAILED));
  EXPECT_EQ((std::vector<std::string>{"C:\\e\\*", "C:\\nowhere\\*", "C:\\d\\*", "C:\\d\\*"}),
            fs.logOf("find"));
  EXPECT_EQ("", fs.console()) << "standard output says nothing of a missing root";
  EXPECT_EQ("tavrin: cannot read C:\\nowhere: not found\n", fs.errors());
}

TEST_F(WalkTest, AFileRootGetsOneRuleAndNoWalk) {
  fs.addFile(L"C:\\d\\a.txt", SUSPECT_ATTRIBUTES);
  EXPECT_EQ(0, runTool(fs, {L"repair", L"C:\\d\\a.txt"}));
  EXPECT_EQ((std::vector<std::string>{"get C:\\d\\a.txt", "get C:\\d\\a.txt"}), traversal());
  EXPECT_EQ(std::vector<std::string>{"C:\\d\\a.txt 128"}, fs.logOf("set"));
}

TEST(Walk, ADriveRootGivesOneBackslashAfterTheColon) {
  FakePlatform machine;
  machine.addDrive(L"C:\\", DRIVE_FIXED);
  machine.addFile(L"C:\\Windows\\w.dll");
  machine.addFile(L"C:\\x.txt");
  // No tool folder on this drive: the records go to the console.
  EXPECT_EQ(EXIT_PARTIAL, runTool(machine, {L"listall", L"C:\\"}));
  EXPECT_EQ((std::vector<std::string>{"C:\\*", "C:\\Windows\\*"}), machine.logOf("find"));
  EXPECT_EQ((std::vector<std::string>{"C:\\", "C:\\Windows\\w.dll", "C:\\x.txt"}),
            machine.logOf("get"));
}

// "C:" is the current folder of drive C: (`dir C:`), not its root: a run
// given "C:" or "C:sub" covers that folder alone, and names its entries as
// Win32 does, "C:name".
TEST_F(WalkTest, ABareDriveIsItsCurrentFolder) {
  fs.addFile(L"C:\\work\\a.txt");
  fs.addFile(L"C:\\work\\sub\\b.txt");
  fs.addFile(L"C:\\elsewhere.txt");
  fs.setDriveFolder(L"C:", L"C:\\work");
  EXPECT_EQ((std::vector<std::string>{"C:a.txt", "C:sub\\b.txt", "C:sub\\b.txt"}),
            listAll({L"C:", L"C:sub"}));
  EXPECT_EQ((std::vector<std::string>{"C:*", "C:sub\\*", "C:sub\\*"}), fs.logOf("find"));

  EXPECT_EQ(EXIT_DONE, runTool(fs, {L"set", L"1", L"C:"}));
  EXPECT_EQ((std::vector<std::string>{"C:a.txt 1", "C:sub\\b.txt 1"}), fs.logOf("set"));
  EXPECT_EQ(FILE_ATTRIBUTE_ARCHIVE, fs.attributesOf(L"C:\\elsewhere.txt"));
  EXPECT_EQ(1u, fs.attributesOf(L"C:\\work\\a.txt"));

  // Without a current folder of its own, a drive's is its root.
  FakePlatform machine;
  machine.addDrive(L"D:\\", DRIVE_FIXED);
  machine.addFile(L"D:\\x.txt");
  EXPECT_EQ(EXIT_PARTIAL, runTool(machine, {L"listall", L"D:"}));
  EXPECT_EQ((std::vector<std::string>{"D:", "D:x.txt"}), machine.logOf("get"));
}

TEST_F(WalkTest, WildcardsAreNotExpanded) {
  fs.addFile(L"C:\\a.exe", SUSPECT_ATTRIBUTES);
  fs.addFile(L"C:\\b.exe", SUSPECT_ATTRIBUTES);
  EXPECT_TRUE(listAll({L"C:\\*.exe", L"C:\\?.exe"}, EXIT_FAILED).empty());
  EXPECT_EQ((std::vector<std::string>{"C:\\*.exe\\*", "C:\\?.exe\\*"}), fs.logOf("find"));
  EXPECT_EQ("", fs.console());
  EXPECT_EQ("tavrin: cannot read C:\\*.exe: not found\ntavrin: cannot read C:\\?.exe: not found\n",
            fs.errors());
}

TEST_F(WalkTest, AnEmptyPathTouchesNothingAndFailsTheRun) {
  fs.addFile(L"C:\\a.txt", SUSPECT_ATTRIBUTES);
  for (const std::wstring command : {L"list", L"repair", L"listall"}) {
    EXPECT_EQ(EXIT_FAILED, runTool(fs, {command, L""}));
  }
  EXPECT_EQ(EXIT_FAILED, runTool(fs, {L"set", L"6", L""}));
  EXPECT_TRUE(fs.logOf("get").empty());
  EXPECT_TRUE(fs.logOf("find").empty());
  EXPECT_TRUE(fs.logOf("set").empty());
  EXPECT_EQ("", fs.console());
  std::string four;
  for (int i = 0; i < 4; ++i) four += "tavrin: an empty path names no file or folder\n";
  EXPECT_EQ(four, fs.errors());
}

TEST(FixedDrives, OnlyFixedDrivesAreWalked) {
  FakePlatform fs;
  fs.addDrive(L"C:\\", DRIVE_FIXED);
  fs.addDrive(L"D:\\", DRIVE_CDROM);
  fs.addDrive(L"E:\\", DRIVE_REMOVABLE);
  fs.addFile(L"C:\\Windows\\w.dll", SUSPECT_ATTRIBUTES);
  fs.addFile(L"D:\\disc.exe", SUSPECT_ATTRIBUTES);
  fs.addFile(L"E:\\stick.exe", SUSPECT_ATTRIBUTES);
  fs.setAppDataFolders({std::nullopt});
  EXPECT_EQ(0, runTool(fs, {L"list"}));
  EXPECT_EQ((std::vector<std::string>{"C:\\*", "C:\\Windows\\*"}), fs.logOf("find"));
  EXPECT_EQ((std::vector<std::string>{"C:\\", "C:\\Windows\\w.dll"}), fs.logOf("get"));
  EXPECT_EQ(crlf("\n12583, C:\\Windows\\w.dll"), fs.contentOf(L"1000badFiles.txt"));
}

TEST(FixedDrives, TheWholeListIsUsedHoweverLong) {
  FakePlatform fs;
  std::vector<std::string> expected;
  for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
    const std::wstring root = std::wstring(1, letter) + L":\\";
    const bool fixed = (letter - L'A') % 3 == 2;
    fs.addDrive(root, fixed ? DRIVE_FIXED : DRIVE_REMOTE);
    fs.addFile(root + L"f");
    if (fixed) expected.push_back(toBytes(root) + "*");
  }
  for (int i = 0; i < 4; ++i) {  // mounted volumes listed after the letters
    const std::wstring root = L"C:\\mnt\\v" + std::to_wstring(i) + L"\\";
    fs.listDrive(root, DRIVE_FIXED);
    expected.push_back(toBytes(root) + "*");
  }
  fs.setAppDataFolders({std::nullopt});
  // The volumes' folders do not exist here: each is a root that cannot be listed.
  EXPECT_EQ(EXIT_PARTIAL, runTool(fs, {L"listall"}));
  EXPECT_EQ(expected, fs.logOf("find"));
}

// Four letters for two volumes: E: is a second letter of C:'s volume, S: a
// substitute for a folder of C:, T: a substitute for a folder of the CD in D:.
class SeenTwice : public ::testing::Test {
 protected:
  void SetUp() override {
    fs.setAppDataFolders({std::nullopt});
    for (const wchar_t* root : {L"C:\\", L"D:\\", L"E:\\", L"F:\\", L"S:\\", L"T:\\"}) {
      fs.addDrive(root, std::wstring(root) == L"D:\\" ? DRIVE_CDROM : DRIVE_FIXED);
      fs.addFile(std::wstring(root) + L"f");
    }
    fs.setVolumeName(L"C:\\", L"\\\\?\\Volume{c}\\");
    fs.setVolumeName(L"E:\\", L"\\\\?\\Volume{c}\\");
    fs.setVolumeName(L"F:\\", L"\\\\?\\Volume{f}\\");
    fs.substitute(L"S:\\", L"C:\\data");
    fs.substitute(L"T:\\", L"D:\\docs");
  }

  std::vector<std::string> walkedRoots() {
    EXPECT_EQ(0, runTool(fs, {L"listall"}));
    std::vector<std::string> roots;
    for (const std::string& pattern : fs.logOf("find")) roots.push_back(pattern.substr(0, 3));
    return roots;
  }

  FakePlatform fs;
};

TEST_F(SeenTwice, EachVolumeIsWalkedOnce) {
  // T: stands for a folder of a drive that is not walked: its files are
  // seen only through T:.
  EXPECT_EQ((std::vector<std::string>{"C:\\", "F:\\", "T:\\"}), walkedRoots());
}

TEST_F(SeenTwice, TheFirstRootOfAVolumeIsTheOneWalked) {
  fs.setVolumeName(L"C:\\", L"\\\\?\\Volume{other}\\");
  fs.setVolumeName(L"F:\\", L"\\\\?\\Volume{c}\\");
  // A substitute listed before the drive it stands on is still left out,
  // and a substitute for a folder of a substitute too.
  fs.substitute(L"C:\\", L"S:\\x");
  fs.substitute(L"S:\\", L"f:\\");
  EXPECT_EQ((std::vector<std::string>{"E:\\", "T:\\"}), walkedRoots());
}

TEST_F(SeenTwice, GivenPathsAreWalkedAsGiven) {
  EXPECT_EQ(0, runTool(fs, {L"listall", L"C:\\", L"E:\\", L"S:\\"}));
  EXPECT_EQ((std::vector<std::string>{"C:\\*", "E:\\*", "S:\\*"}), fs.logOf("find"));
  EXPECT_TRUE(fs.logOf("volume").empty());
}

TEST(FixedDrives, AnUnreadableListWalksNothing) {
  FakePlatform fs;
  fs.addSystemDrive();
  fs.addFile(L"C:\\a.txt", SUSPECT_ATTRIBUTES);
  fs.makeDriveListUnreadable();
  EXPECT_EQ(EXIT_FAILED, runTool(fs, {L"repair"}));
  EXPECT_EQ("tavrin: found no fixed drive to scan\n", fs.errors());
  EXPECT_TRUE(fs.logOf("find").empty());
  EXPECT_TRUE(fs.logOf("get").empty());
  EXPECT_EQ(std::vector<std::wstring>{kToolFolder + L"1000couldNotFix.txt"}, fs.createdFiles());
}

}  // namespace
}  // namespace tavrin::test
