// A repair resets every file whose path holds "Norvane" to archive only. A
// root that holds it in its own path (a disk mounted at /mnt/Norvane-disk)
// would lose every attribute word under it: standard error says so first.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "scan_job.h"

namespace tavrin::test {
namespace {

const std::string kReason =
    ": a repair resets every file whose path contains \"Norvane\" (the name of the folder that holds "
    "tavrin's own result files), whatever its attributes\n";

class MarkerWarningTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs.addSystemDrive();
    fs.addFile(L"E:\\Norvane-disk\\bootmgr", 0x27);
    fs.addFile(L"E:\\Norvane-disk\\x.exe", SUSPECT_ATTRIBUTES);
    fs.addFile(L"E:\\old\\Norvane\\a", 0x21);
    fs.addFile(L"E:\\plain\\b", SUSPECT_ATTRIBUTES);
    fs.addFile(L"E:\\norvane\\c", 0x27);
  }

  // Where in the log the first line of `verb` stands.
  size_t firstOf(const std::string& verb) const {
    const auto& log = fs.log();
    return static_cast<size_t>(std::find_if(log.begin(), log.end(),
                                            [&](const std::string& line) { return line.starts_with(verb + " "); }) -
                               log.begin());
  }

  FakePlatform fs;
};

TEST_F(MarkerWarningTest, RepairWarnsOncePerMarkedRootBeforeChangingAnything) {
  EXPECT_EQ(EXIT_DONE, runTool(fs, {L"repair", L"E:\\Norvane-disk", L"E:\\plain", L"E:\\old\\Norvane"}));
  EXPECT_EQ("tavrin: every file under E:\\Norvane-disk will be reset to archive only (32)" + kReason +
                "tavrin: every file under E:\\old\\Norvane will be reset to archive only (32)" + kReason,
            fs.errors());
  EXPECT_LT(firstOf("error"), firstOf("get")) << "said before the first word is read";
  // The reset itself is as it always was.
  EXPECT_EQ(0x20u, fs.attributesOf(L"E:\\Norvane-disk\\bootmgr"));
  EXPECT_EQ(0x20u, fs.attributesOf(L"E:\\Norvane-disk\\x.exe"));
  EXPECT_EQ(0x20u, fs.attributesOf(L"E:\\old\\Norvane\\a"));
  EXPECT_EQ(0x80u, fs.attributesOf(L"E:\\plain\\b"));
  EXPECT_EQ("", fs.console());
}

TEST_F(MarkerWarningTest, ListSaysOnceThatRepairWould) {
  EXPECT_EQ(EXIT_DONE, runTool(fs, {L"list", L"E:\\Norvane-disk", L"E:\\plain", L"E:\\old\\Norvane"}));
  EXPECT_EQ("tavrin: repair would reset every file under E:\\Norvane-disk, E:\\old\\Norvane to archive "
            "only (32)" + kReason,
            fs.errors());
  EXPECT_EQ(crlf("\n12583, E:\\Norvane-disk\\x.exe\n12583, E:\\plain\\b"),
            fs.contentOf(kToolFolder + L"1000badFiles.txt"));
}

// Only a root's own path counts, as the marker does: case-sensitive. A
// drive that merely holds the tool folder is no marked root.
TEST_F(MarkerWarningTest, OrdinaryRootsAndOtherCommandsSayNothing) {
  const std::vector<std::vector<std::wstring>> runs = {
      {L"repair", L"E:\\plain", L"E:\\norvane"},
      {L"list", L"E:\\plain", L"E:\\norvane"},
      {L"repair"},  // the fixed drives: C:\ holds C:\ProgramData\Norvane
      {L"list"},
      {L"listall", L"E:\\Norvane-disk"},
      {L"set", L"32", L"E:\\Norvane-disk"},
  };
  for (const auto& args : runs) {
    FakePlatform run;
    run.addSystemDrive();
    run.addFile(L"C:\\ProgramData\\Norvane\\old.txt", 0x21);
    run.addFile(L"E:\\Norvane-disk\\a", 0x21);
    run.addFile(L"E:\\plain\\b", SUSPECT_ATTRIBUTES);
    run.addFile(L"E:\\norvane\\c", 0x27);
    EXPECT_EQ(EXIT_DONE, runTool(run, args)) << argsForName(args);
    EXPECT_EQ("", run.errors()) << argsForName(args);
  }
}

}  // namespace
}  // namespace tavrin::test
