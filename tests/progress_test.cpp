// What a person at a terminal sees: the status line on standard error, kept
// off the console messages, and the summary at the end of a run.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "progress.h"
#include "scan_job.h"
#include "screen_text.h"

namespace tavrin::test {
namespace {

constexpr TerminalFacts kTerminal{true, true, true};  // stdout on the same screen

// A terminal as the status text and the console leave it: line feeds go to
// the next line's start, carriage return, erase to end of line and cursor up
// act; nothing wraps. Fed the fake's log, it shows what a person sees.
class Screen {
 public:
  void feed(const std::string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
      const char c = text[i];
      if (text.compare(i, 3, "\x1b[K") == 0) {
        line().resize(std::min(line().size(), column_));
        i += 2;
      } else if (text.compare(i, 3, "\x1b[A") == 0) {
        if (row_ > 0) --row_;
        i += 2;
      } else if (c == '\n') {
        ++row_;
        column_ = 0;
      } else if (c == '\r') {
        column_ = 0;
      } else {
        if (line().size() <= column_) line().resize(column_ + 1, ' ');
        line()[column_++] = c;
      }
    }
  }
  void feedLog(const FakePlatform& fs) {
    for (const std::string& entry : fs.log()) {
      if (entry.rfind("print ", 0) == 0) feed(entry.substr(6));
      if (entry.rfind("status ", 0) == 0) feed(entry.substr(7));
      if (entry.rfind("error ", 0) == 0) feed(entry.substr(6));
    }
  }
  // Every line, each ended by a line feed; the cursor's line last.
  std::string text() const {
    std::string out;
    for (const std::string& l : lines_) out += l + '\n';
    return out;
  }
  size_t row() const { return row_; }
  size_t column() const { return column_; }

 private:
  std::string& line() {
    if (lines_.size() <= row_) lines_.resize(row_ + 1);
    return lines_[row_];
  }
  std::vector<std::string> lines_;
  size_t row_ = 0;
  size_t column_ = 0;
};

// The status lines drawn, without their control characters.
std::vector<std::wstring> statusLines(const FakePlatform& fs) {
  std::vector<std::wstring> lines;
  for (const auto& write : fs.statusWrites()) {
    std::wstring text = write.text;
    if (text.rfind(L"\r", 0) != 0 || text.size() < 2 || text.find(L'\n') != std::wstring::npos) continue;
    text = text.substr(1);
    if (text.ends_with(L"\x1b[K")) text.resize(text.size() - 3);
    if (!text.empty()) lines.push_back(text);
  }
  return lines;
}

std::wstring lastWrite(const FakePlatform& fs) {
  return fs.statusWrites().empty() ? L"" : fs.statusWrites().back().text;
}

TEST(ScreenText, WidthCountsColumnsNotUnits) {
  EXPECT_EQ(3u, displayWidth(L"abc"));
  EXPECT_EQ(4u, displayWidth(L"世界"));
  EXPECT_EQ(1u, displayWidth(L"e\u0301"));                  // a combining accent
  EXPECT_EQ(2u, displayWidth(std::wstring{0xD83D, 0xDE00}));  // U+1F600 as UTF-16
  if constexpr (sizeof(wchar_t) == 4) {  // a CJK ideograph beyond the BMP as one unit
    EXPECT_EQ(2u, displayWidth(std::wstring(1, static_cast<wchar_t>(0x20000))));
  } else {
    EXPECT_EQ(2u, displayWidth(std::wstring{0xD840, 0xDC00}));
  }
  EXPECT_EQ(1u, displayWidth(std::wstring{0xDC80}));  // a lone surrogate
}

TEST(ScreenText, ElisionKeepsBothEndsAndFits) {
  EXPECT_EQ(L"/mnt/win/Users", elideMiddle(L"/mnt/win/Users", 14));
  EXPECT_EQ(L"/mnt/w...uments", elideMiddle(L"/mnt/win/Users/ann/Documents", 15));
  EXPECT_EQ(L"世...世界", elideMiddle(L"世界世界世界世界", 10));  // 9 columns: no half character
  EXPECT_EQ(L"...", elideMiddle(L"abcdef", 3));
  EXPECT_EQ(L"..", elideMiddle(L"abcdef", 2));
  EXPECT_EQ(L"", elideMiddle(L"abcdef", 0));
}

TEST(ScreenText, ElisionNeverSplitsACharacter) {
  // Wide, non-BMP (as a surrogate pair and as one unit) and combining characters.
  const std::wstring pair{0xD83D, 0xDE00};
  const std::wstring path = L"C:\\数据\\" + pair + L"x\\" + std::wstring(1, static_cast<wchar_t>(0x20000)) +
                            L"e\u0301\u0301\\報告" + pair + pair + L"\\end";
  for (size_t columns = 3; columns <= displayWidth(path) + 1; ++columns) {
    const std::wstring cut = elideMiddle(path, columns);
    SCOPED_TRACE(columns);
    EXPECT_LE(displayWidth(cut), columns);
    if (cut == path) continue;
    const size_t dots = cut.find(L"...");
    ASSERT_NE(std::wstring::npos, dots);
    const std::wstring head = cut.substr(0, dots);
    const std::wstring tail = cut.substr(dots + 3);
    EXPECT_TRUE(path.starts_with(head));
    EXPECT_TRUE(path.ends_with(tail));
    if (!head.empty()) {
      EXPECT_FALSE(head.back() >= 0xD800 && head.back() <= 0xDBFF);
    }
    if (!tail.empty()) {
      EXPECT_FALSE(tail.front() >= 0xDC00 && tail.front() <= 0xDFFF);
      EXPECT_NE(L'\u0301', tail.front());
    }
    if (columns >= 8) {
      EXPECT_GE(displayWidth(cut), columns - 1) << "room left unused";
    }
  }
}

TEST(ScreenText, NumbersAndTimes) {
  EXPECT_EQ(L"0", groupedNumber(0));
  EXPECT_EQ(L"999", groupedNumber(999));
  EXPECT_EQ(L"1,000", groupedNumber(1000));
  EXPECT_EQ(L"12,345,678", groupedNumber(12345678));
  EXPECT_EQ(L"1 file", countOf(1, L"file", L"files"));
  EXPECT_EQ(L"0 files", countOf(0, L"file", L"files"));
  EXPECT_EQ(L"0:07", clockTime(7999));
  EXPECT_EQ(L"12:34", clockTime((12 * 60 + 34) * 1000));
  EXPECT_EQ(L"1:02:03", clockTime((3600 + 2 * 60 + 3) * 1000));
  EXPECT_EQ(L"0.4 s", duration(499));
  EXPECT_EQ(L"12.4 s", duration(12400));
  EXPECT_EQ(L"3 min 04 s", duration(184000));
  EXPECT_EQ(L"1 h 02 min", duration(3720000));
}

// What a terminal is given of a name: controls as escapes it shows, not
// acts on; everything else as it is.
TEST(ScreenText, ControlCharactersAreShownEscaped) {
  EXPECT_EQ(L"a\\x0ab\\x1b[2Jc\\x9b\\x7f\\x00\\x09",
            escapeControls(std::wstring(L"a\nb\x1b[2Jc\x9b\x7f\0\t", 12)));
  EXPECT_EQ(L"caf\u00e9 \u4e16\\/", escapeControls(L"caf\u00e9 \u4e16\\/"));
  // Console text keeps the line feeds and tabs it is laid out with.
  EXPECT_EQ(L"\n\t12583, C:\\x\\x1b]0;pwned\\x07", forTerminal(L"\n\t12583, C:\\x\x1b]0;pwned\x07"));
  EXPECT_EQ(L"\nINVALID_FILE_ATTRIBUTES for a\\x0db", forTerminal(L"\nINVALID_FILE_ATTRIBUTES for a\rb"));
  if constexpr (sizeof(wchar_t) == 4) {
    // Bytes that are no UTF-8 (Linux names) show as the bytes they are.
    EXPECT_EQ(L"x\\xff\\x9by", escapeControls(std::wstring{L'x', wchar_t(0xDCFF), wchar_t(0xDC9B), L'y'}));
  }
}

class ProgressTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs.addSystemDrive();
    fs.setTerminal(kTerminal, 80);
  }
  void addFiles(const std::wstring& folder, int count) {
    for (int i = 0; i < count; ++i) fs.addFile(folder + L"\\f" + std::to_wstring(i));
  }
  std::wstring summary() const { return lastWrite(fs); }

  FakePlatform fs;
};

TEST_F(ProgressTest, OnlyErrorsOnStandardErrorWhenItIsNoTerminal) {
  fs.setTerminal({}, 80);
  fs.setClockStep(50);
  addFiles(L"C:\\d", 300);
  fs.addFile(L"C:\\d\\gone");
  fs.makeVanishing(L"C:\\d\\gone");
  EXPECT_EQ(EXIT_FAILED, runTool(fs, {L"list", L"C:\\d", L"C:\\missing"}));
  EXPECT_TRUE(fs.statusWrites().empty());
  EXPECT_EQ("tavrin: cannot read C:\\missing: not found\n"
            "tavrin: 1 file could not be read: see the INVALID_FILE_ATTRIBUTES lines on standard output\n",
            fs.errors());
  EXPECT_EQ(crlf("\nINVALID_FILE_ATTRIBUTES for C:\\d\\gone"), fs.console());
}

// An error line goes on a line of its own, between whole console lines, with
// the status line erased before it and drawn again after.
TEST_F(ProgressTest, ErrorLinesStayWholeBesideMessagesAndTheStatusLine) {
  fs.setClockStep(10);
  for (int i = 0; i < 800; ++i) fs.addFile(L"C:\\d\\a\\f" + std::to_wstring(1000 + i));
  fs.addFile(L"C:\\d\\a\\gone");
  fs.makeVanishing(L"C:\\d\\a\\gone");
  fs.makeUnlistable(L"C:\\d\\b");
  for (int i = 0; i < 800; ++i) fs.addFile(L"C:\\d\\c\\f" + std::to_wstring(1000 + i));
  EXPECT_EQ(EXIT_PARTIAL, runTool(fs, {L"list", L"C:\\d"}));
  Screen screen;
  screen.feedLog(fs);
  EXPECT_EQ(
      "\n"
      "INVALID_FILE_ATTRIBUTES for C:\\d\\a\\gone\n"
      "tavrin: could not list C:\\d\\b: access denied\n"
      "list done in 1.0 s: 1,601 files checked, 0 suspect files, 1 unreadable.\n"
      "Records: C:\\ProgramData\\Norvane\\Wickline\\1000badFiles.txt\n"
      "1 folder could not be listed:\n"
      "  C:\\d\\b\n",
      screen.text());
  EXPECT_EQ(0u, screen.column());
  // The console's line was still open: the error starts a line of its own.
  EXPECT_EQ("\ntavrin: could not list C:\\d\\b: access denied\n", fs.errors());
}

TEST_F(ProgressTest, StatusLineIsThrottledAndWaitsHalfASecond) {
  fs.setClockStep(5);  // 5 ms per clock read, one read per 16 entries
  addFiles(L"C:\\d", 4000);
  EXPECT_EQ(0, runTool(fs, {L"listall", L"C:\\d"}));
  std::vector<FakePlatform::StatusWrite> draws;
  for (const auto& write : fs.statusWrites()) {
    if (write.text.starts_with(L"\rlistall")) draws.push_back(write);
  }
  ASSERT_GE(draws.size(), 6u);
  // The clock read 5 when the run began.
  EXPECT_GE(draws.front().clock, 5 + STATUS_DELAY_MS);
  for (size_t i = 1; i < draws.size(); ++i) {
    EXPECT_GE(draws[i].clock - draws[i - 1].clock, STATUS_INTERVAL_MS) << i;
  }
  // About ten a second over the 0.75 s after the first half second.
  EXPECT_LE(draws.size(), 8u);
  EXPECT_EQ(L"\rlistall 0:00  1,580 files, 1,580 records  C:\\d\x1b[K", draws.front().text);
  EXPECT_EQ(L"\r\x1b[K", fs.statusWrites()[fs.statusWrites().size() - 2].text) << "erased";
  EXPECT_EQ(L"listall done in 1.2 s: 4,000 files checked, 4,000 records, 0 unreadable.\n"
            L"Records: C:\\ProgramData\\Norvane\\Wickline\\1000allFiles.txt\n",
            fs.statusWrites().back().text);
}

TEST_F(ProgressTest, AShortRunShowsOnlyTheSummary) {
  fs.setClockStep(1);
  addFiles(L"C:\\d", 100);
  EXPECT_EQ(0, runTool(fs, {L"list", L"C:\\d"}));
  ASSERT_EQ(1u, fs.statusWrites().size());
  EXPECT_EQ(L"list done in 0.0 s: 100 files checked, 0 suspect files, 0 unreadable.\n"
            L"Records: C:\\ProgramData\\Norvane\\Wickline\\1000badFiles.txt\n",
            summary());
}

TEST_F(ProgressTest, TheFolderIsElidedToTheWidthWithWideNames) {
  const std::wstring pair{0xD83D, 0xDE00};
  const std::wstring deep = L"C:\\データ\\" + pair + L"写真\\2024年\\家族の旅行\\" + pair + pair + L"\\最後";
  for (const unsigned columns : {0u, 20u, 40u, 61u, 200u}) {
    SCOPED_TRACE(columns);
    FakePlatform run;
    run.addSystemDrive();
    for (int i = 0; i < 400; ++i) run.addFile(deep + L"\\f" + std::to_wstring(i));
    run.setTerminal(kTerminal, columns);
    run.setClockStep(20);
    EXPECT_EQ(0, runTool(run, {L"list", L"C:\\"}));
    const std::vector<std::wstring> lines = statusLines(run);
    ASSERT_FALSE(lines.empty());
    const size_t fit = (columns == 0 ? 80 : columns) - 1;
    for (const std::wstring& line : lines) {
      EXPECT_LE(displayWidth(line), fit) << toBytes(line);
      EXPECT_TRUE(line.starts_with(L"list 0:0") || columns < 20) << toBytes(line);
    }
    const std::wstring& line = lines.back();
    if (columns == 200) {
      EXPECT_TRUE(line.ends_with(L"  " + deep)) << toBytes(line);
    } else if (columns == 40) {
      EXPECT_EQ(L"list 0:00  355 files, 0 suspect files", line) << "no room for the folder";
    } else if (columns > 40) {
      EXPECT_NE(std::wstring::npos, line.find(L"  C:\\")) << toBytes(line);
      EXPECT_TRUE(line.ends_with(L"...") || line.ends_with(L"\\最後") || line.ends_with(L"最後"))
          << toBytes(line);
      EXPECT_GE(displayWidth(line), fit - 1) << "a wide character may leave one column";
    }
  }
}

TEST_F(ProgressTest, MessagesStayWholeLinesAroundTheStatusLine) {
  fs.setClockStep(10);
  for (int i = 0; i < 1600; ++i) {
    const std::wstring path = L"C:\\d\\f" + std::to_wstring(1000 + i);
    fs.addFile(path);
    if (i % 400 == 399) fs.makeVanishing(path);
  }
  EXPECT_EQ(EXIT_PARTIAL, runTool(fs, {L"list", L"C:\\d"}));
  Screen screen;
  screen.feedLog(fs);
  EXPECT_EQ(
      "\n"  // the messages' own leading line feed
      "INVALID_FILE_ATTRIBUTES for C:\\d\\f1399\n"
      "INVALID_FILE_ATTRIBUTES for C:\\d\\f1799\n"
      "INVALID_FILE_ATTRIBUTES for C:\\d\\f2199\n"
      "INVALID_FILE_ATTRIBUTES for C:\\d\\f2599\n"
      "list done in 1.0 s: 1,600 files checked, 0 suspect files, 4 unreadable.\n"
      "Records: C:\\ProgramData\\Norvane\\Wickline\\1000badFiles.txt\n",
      screen.text());
  EXPECT_EQ(0u, screen.column()) << "the prompt starts a line of its own";
  EXPECT_EQ(7u, screen.row());
  // The status line was up between the messages, and erased before each.
  size_t erasedBeforeMessage = 0;
  for (size_t i = 1; i < fs.log().size(); ++i) {
    if (fs.log()[i].rfind("print ", 0) == 0 && fs.log()[i - 1] == "status \r\x1b[K\x1b[A") ++erasedBeforeMessage;
  }
  EXPECT_GE(erasedBeforeMessage, 2u);
}

TEST_F(ProgressTest, WithoutControlSequencesTheLineIsPaddedWithBlanks) {
  fs.setTerminal({true, false, true}, 40);
  fs.setClockStep(40);
  addFiles(L"C:\\d", 200);
  fs.addFile(L"C:\\d\\zz");
  fs.makeVanishing(L"C:\\d\\zz");
  EXPECT_EQ(EXIT_PARTIAL, runTool(fs, {L"list", L"C:\\d"}));
  for (const auto& write : fs.statusWrites()) {
    EXPECT_EQ(std::wstring::npos, write.text.find(L'\x1b')) << toBytes(write.text);
  }
  Screen screen;
  screen.feedLog(fs);
  const std::string shown = screen.text();
  EXPECT_NE(std::string::npos, shown.find("\nINVALID_FILE_ATTRIBUTES for C:\\d\\zz\n")) << shown;
  EXPECT_NE(std::string::npos, shown.find("list done in")) << shown;
  EXPECT_EQ(std::string::npos, shown.find("0:0")) << "the status line is gone: " << shown;
}

TEST_F(ProgressTest, TheSummaryStartsOnAFreshLine) {
  fs.addFile(L"C:\\d\\gone");
  fs.makeVanishing(L"C:\\d\\gone");
  EXPECT_EQ(EXIT_PARTIAL, runTool(fs, {L"list", L"C:\\d"}));
  EXPECT_TRUE(summary().starts_with(L"\nlist done")) << toBytes(summary());

  // Standard output elsewhere: its last message does not share the screen.
  FakePlatform redirected;
  redirected.addSystemDrive();
  redirected.addFile(L"C:\\d\\gone");
  redirected.makeVanishing(L"C:\\d\\gone");
  redirected.setTerminal({true, true, false}, 80);
  EXPECT_EQ(EXIT_PARTIAL, runTool(redirected, {L"list", L"C:\\d"}));
  EXPECT_TRUE(lastWrite(redirected).starts_with(L"list done")) << toBytes(lastWrite(redirected));
}

TEST_F(ProgressTest, SummaryOfEachCommand) {
  fs.addFile(L"C:\\d\\bad", SUSPECT_ATTRIBUTES);
  fs.addFile(L"C:\\d\\stuck", SUSPECT_ATTRIBUTES);
  fs.refuseAttributeWrites(L"C:\\d\\stuck");
  fs.addFile(L"C:\\d\\ok");
  fs.addFile(L"C:\\d\\gone");
  fs.makeVanishing(L"C:\\d\\gone");
  fs.setTicks({1000, 2000, 3000, 4000, 5000});
  const std::wstring tool = L"C:\\ProgramData\\Norvane\\Wickline\\";
  EXPECT_EQ(EXIT_PARTIAL, runTool(fs, {L"list", L"C:\\d"}));
  EXPECT_EQ(L"\nlist done in 0.0 s: 4 files checked, 2 suspect files, 1 unreadable.\nRecords: " + tool +
                L"1000badFiles.txt\n",
            summary());
  EXPECT_EQ(EXIT_PARTIAL, runTool(fs, {L"listall", L"C:\\d"}));
  EXPECT_EQ(L"\nlistall done in 0.0 s: 4 files checked, 3 records, 1 unreadable.\nRecords: " + tool +
                L"2000allFiles.txt\n",
            summary());
  EXPECT_EQ(EXIT_PARTIAL, runTool(fs, {L"repair", L"C:\\d"}));
  EXPECT_EQ(L"\nrepair done in 0.0 s: 4 files checked, 1 repaired, 1 could not be fixed, 1 unreadable.\n"
            L"Records: " + tool + L"3000couldNotFix.txt\n",
            summary());
  EXPECT_EQ(EXIT_PARTIAL, runTool(fs, {L"set", L"6", L"C:\\d\\ok", L"C:\\d\\stuck"}));
  EXPECT_EQ(L"\nset done in 0.0 s: 2 files checked, 1 set, 1 failed, 0 unreadable.\nResult file: " + tool +
                L"5000\n",
            summary());
}

TEST_F(ProgressTest, SummarySaysWhereTheRecordsWent) {
  struct Case {
    const char* name;
    std::function<void(FakePlatform&)> arrange;
    std::wstring line;
  };
  const std::wstring file = L"C:\\ProgramData\\Norvane\\Wickline\\1000badFiles.txt";
  const std::vector<Case> cases = {
      {"folder missing", [](FakePlatform& p) { p.setAppDataFolders({L"C:\\Elsewhere"}); },
       L"Records: on the screen above; no result file: the folder C:\\Elsewhere\\Norvane\\Wickline does not "
       L"exist; create it to keep them"},
      {"access denied", [&](FakePlatform& p) { p.refuseCreate(file); },
       L"Records: on the screen above; no result file: permission denied for " + file},
      {"not trusted", [&](FakePlatform& p) { p.refuseCreate(file, CreateFailure::FolderNotTrusted); },
       L"Records: on the screen above; no result file: the folder C:\\ProgramData\\Norvane\\Wickline is a "
       L"link or belongs to another user"},
      {"other", [&](FakePlatform& p) { p.refuseCreate(file, CreateFailure::Other); },
       L"Records: on the screen above; no result file: " + file + L" could not be created"},
      {"name taken",
       [](FakePlatform& p) {
         for (int tick = 1000; tick <= 1100; ++tick) {
           p.addFile(L"C:\\ProgramData\\Norvane\\Wickline\\" + std::to_wstring(tick) + L"badFiles.txt");
         }
       },
       L"Records: on the screen above; no result file: the name " + file + L" and the next 100 are taken"},
      {"disk full", [](FakePlatform& p) { p.failWritesAfter(0); },
       L"Records: in " + file + L" up to the point it could not be written, the rest on the screen above"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform run;
    run.addSystemDrive();
    run.addFile(L"C:\\d\\bad", SUSPECT_ATTRIBUTES);
    run.setTerminal(kTerminal, 80);
    c.arrange(run);
    EXPECT_EQ(EXIT_PARTIAL, runTool(run, {L"list", L"C:\\d"}));
    const std::wstring text = lastWrite(run);
    const size_t second = text.find(L".\n") + 2;
    EXPECT_EQ(c.line + L'\n', text.substr(second)) << toBytes(text);
    EXPECT_TRUE(text.starts_with(L"\nlist done")) << "after the records on the console";
  }
}

TEST_F(ProgressTest, SummaryNamesMissingRootsAndUnlistedFolders) {
  fs.addFile(L"C:\\d\\a");
  for (int i = 0; i < 7; ++i) fs.makeUnlistable(L"C:\\d\\locked" + std::to_wstring(i));
  EXPECT_EQ(EXIT_FAILED, runTool(fs, {L"list", L"C:\\d", L"C:\\dd", L"", L"C:\\e\\x.txt"}));
  // Failed with nothing recorded: the empty file is gone, and not named.
  EXPECT_EQ(L"list done in 0.0 s: 1 file checked, 0 suspect files, 0 unreadable.\n"
            L"No result file: the run failed and recorded nothing\n"
            L"Could not read: C:\\dd\n"
            L"Could not read: C:\\e\\x.txt\n"
            L"7 folders could not be listed, the first 5:\n"
            L"  C:\\d\\locked0\n  C:\\d\\locked1\n  C:\\d\\locked2\n  C:\\d\\locked3\n  C:\\d\\locked4\n",
            summary().substr(summary().find(L"list done")));
}

TEST_F(ProgressTest, AnInterruptedRunSaysHowFarItGot) {
  fs.setClockStep(100);
  addFiles(L"C:\\d\\sub", 50);
  fs.addFile(L"C:\\d\\z");
  fs.stopWhen([&] { return fs.logOf("get").size() >= 31; });
  EXPECT_EQ(0, runTool(fs, {L"listall", L"C:\\d", L"C:\\e"}));
  const std::wstring text = summary();
  EXPECT_EQ(L"listall interrupted after 0.4 s in C:\\d\\sub: 30 files checked, 30 records, 0 unreadable.\n"
            L"Records: C:\\ProgramData\\Norvane\\Wickline\\1000allFiles.txt\n",
            text.substr(text.find(L"listall")));
  // The records found are in the file before the summary says where they are.
  EXPECT_EQ(30u, [&] {
    size_t lines = 0;
    for (const char c : fs.contentOf(kToolFolder + L"1000allFiles.txt")) lines += c == '\n';
    return lines;
  }());
}

TEST_F(ProgressTest, AStopBetweenRootsNamesNoFolder) {
  addFiles(L"C:\\d", 2);
  fs.addFile(L"C:\\e\\x");
  fs.stopWhen([&] { return fs.logOf("get").size() >= 3; });  // the root and its two files read
  EXPECT_EQ(0, runTool(fs, {L"list", L"C:\\d", L"C:\\e"}));
  EXPECT_TRUE(summary().starts_with(L"list interrupted after 0.0 s: 2 files checked, ")) << toBytes(summary());
}

}  // namespace
}  // namespace tavrin::test
