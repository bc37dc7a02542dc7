#include "progress.h"

#include "scan_job.h"
#include "screen_text.h"

namespace tavrin {
namespace {

constexpr std::wstring_view ERASE_TO_END = L"\x1b[K";
constexpr std::wstring_view CURSOR_UP = L"\x1b[A";
// The width assumed when the terminal does not tell its own.
constexpr size_t DEFAULT_COLUMNS = 80;
// Fewer columns than this left for the folder, and it is left out.
constexpr size_t MIN_FOLDER_COLUMNS = 12;

const wchar_t* commandName(uint32_t flags) {
  if (flags & MODE_LISTALL) return L"listall";
  if (flags & MODE_LIST) return L"list";
  if (flags & MODE_REPAIR) return L"repair";
  return L"set";
}

// The folder part of a path: up to the last separator, which stays only
// where it is the root ("/", "C:\").
std::wstring folderOf(std::wstring_view path, wchar_t separator) {
  const size_t last = path.rfind(separator);
  if (last == std::wstring_view::npos) return std::wstring(path);
  const bool root = last == 0 || path[last - 1] == L':';
  return std::wstring(path.substr(0, root ? last + 1 : last));
}

// What the command has found so far; unreadable words always in the
// summary, in the status line once there are any.
std::wstring findings(const ScanJob& job, bool summary) {
  const RunCounts& counts = job.counts();
  const uint32_t flags = job.modeFlags();
  std::wstring out;
  if (flags & MODE_LISTALL) {
    out = countOf(counts.records, L"record", L"records");
  } else if (flags & MODE_LIST) {
    out = countOf(counts.records, L"suspect file", L"suspect files");
  } else if (flags & MODE_REPAIR) {
    out = countOf(counts.changed, L"repaired", L"repaired") + L", " + groupedNumber(counts.failed) +
          L" could not be fixed";
  } else {
    out = countOf(counts.changed, L"set", L"set") + L", " + countOf(counts.failed, L"failed", L"failed");
  }
  if (summary || counts.unreadable > 0) out += L", " + groupedNumber(counts.unreadable) + L" unreadable";
  return out;
}

// Where the records are, as one line.
std::wstring recordsLine(const ScanJob& job, wchar_t separator) {
  const std::wstring& path = job.resultPath();
  const bool keepsRecords = (job.modeFlags() & MODE_SET) == 0;
  if (job.resultFileRemoved()) return L"No result file: the run failed and recorded nothing";
  if (job.resultFileOpen()) return (keepsRecords ? L"Records: " : L"Result file: ") + path;
  if (job.resultFailure() == CreateFailure::None) {  // opened, then a write failed
    return L"Records: in " + path + L" up to the point it could not be written, the rest on the screen above";
  }
  std::wstring why;
  switch (job.resultFailure()) {
    case CreateFailure::FolderMissing:
      why = L"the folder " + folderOf(path, separator) + L" does not exist; create it to keep them";
      break;
    case CreateFailure::AccessDenied:
      why = L"permission denied for " + path;
      break;
    case CreateFailure::NameTaken:
      why = L"the name " + path + L" and the next " + std::to_wstring(NAME_RETRIES) + L" are taken";
      break;
    case CreateFailure::FolderNotTrusted:
      why = L"the folder " + folderOf(path, separator) + L" is a link or belongs to another user";
      break;
    default:
      why = path + L" could not be created";
      break;
  }
  return (keepsRecords ? L"Records: on the screen above; no result file: " : L"No result file: ") + why;
}

}  // namespace

std::wstring statusLine(const ScanJob& job, wchar_t separator, uint64_t elapsed, size_t columns) {
  std::wstring line = commandName(job.modeFlags());
  line += L' ';
  line += clockTime(elapsed);
  line += L"  ";
  line += countOf(job.counts().filesChecked, L"file", L"files");
  line += L", ";
  line += findings(job, false);
  std::wstring folder = escapeControls(folderOf(job.walkPath(), separator));
  if (job.tablePercent() >= 0) folder = L"file table " + std::to_wstring(job.tablePercent()) + L"% " + folder;
  const size_t used = displayWidth(line) + 2;
  if (!folder.empty() && used + MIN_FOLDER_COLUMNS <= columns) {
    line += L"  ";
    line += elideMiddle(folder, columns - used);
    return line;
  }
  return elideMiddle(line, columns);
}

std::wstring summaryText(const ScanJob& job, wchar_t separator, uint64_t elapsed) {
  const RunCounts& counts = job.counts();
  std::wstring text = commandName(job.modeFlags());
  if (job.interrupted()) {
    text += L" interrupted after " + duration(elapsed);
    if (!job.stoppedIn().empty()) text += L" in " + escapeControls(folderOf(job.stoppedIn(), separator));
  } else {
    text += L" done in " + duration(elapsed);
  }
  text += L": " + countOf(counts.filesChecked, L"file", L"files") + L" checked, " + findings(job, true) +
          L".\n";
  text += escapeControls(recordsLine(job, separator)) + L'\n';
  for (const std::wstring& root : counts.unreadableRoots) {
    text += L"Could not read: " + escapeControls(root) + L'\n';
  }
  for (const std::wstring& root : counts.tableRoots) {
    text += L"Read from the file table: " + escapeControls(root) + L'\n';
  }
  for (const std::wstring& why : counts.walkedInstead) {
    text += L"Walked without the file table: " + escapeControls(why) + L'\n';
  }
  if (counts.unlistedFolders > 0) {
    text += countOf(counts.unlistedFolders, L"folder", L"folders") + L" could not be listed";
    text += counts.unlistedFolders > counts.firstUnlistedFolders.size()
                ? L", the first " + std::to_wstring(counts.firstUnlistedFolders.size()) + L":\n"
                : L":\n";
    for (const std::wstring& folder : counts.firstUnlistedFolders) {
      text += L"  " + escapeControls(folder) + L'\n';
    }
  }
  return text;
}

Progress::Progress(Platform& platform, const TerminalFacts& facts, uint64_t now)
    : platform_(platform), facts_(facts), start_(now) {}

void Progress::refresh(const ScanJob& job, uint64_t now) {
  if (now - start_ < STATUS_DELAY_MS) return;
  if (drawnOnce_ && now - lastDraw_ < STATUS_INTERVAL_MS) return;
  const unsigned width = platform_.statusWidth();
  // The last column stays free: a line that fills it wraps on some consoles.
  const size_t columns = (width > 1 ? width : DEFAULT_COLUMNS) - 1;
  draw(statusLine(job, platform_.separator(), now - start_, columns));
  lastDraw_ = now;
  drawnOnce_ = true;
}

// The status line goes on a line of its own: below the console's last line
// when that is still open, so the message on it stays whole.
void Progress::draw(std::wstring_view line) {
  std::wstring out;
  if (!shown_) {
    below_ = facts_.consoleShown && consoleLineOpen_;
    if (below_) out += L'\n';
  }
  out += L'\r';
  out += line;
  const size_t width = displayWidth(line);
  if (facts_.controlSequences) {
    out += ERASE_TO_END;
  } else if (shown_ && shownWidth_ > width) {
    out.append(shownWidth_ - width, L' ');
  }
  platform_.writeStatus(out);
  shown_ = true;
  shownWidth_ = width;
}

// `lineFollows`: what comes next starts with a line feed. Then the cursor
// goes back up to the open console line, and that line feed brings it down
// to where the status line was: no blank line is left between messages.
void Progress::erase(bool lineFollows) {
  if (!shown_) return;
  std::wstring out = L"\r";
  if (facts_.controlSequences) {
    out += ERASE_TO_END;
    if (below_ && lineFollows) out += CURSOR_UP;
  } else {
    out.append(shownWidth_, L' ');
    out += L'\r';
  }
  platform_.writeStatus(out);
  shown_ = false;
}

void Progress::beforeMessage(std::wstring_view text) {
  erase(!text.empty() && text.front() == L'\n');
}

void Progress::afterMessage(std::wstring_view text, const ScanJob& job, uint64_t now) {
  if (facts_.consoleShown && !text.empty()) consoleLineOpen_ = text.back() != L'\n';
  refresh(job, now);
}

void Progress::error(std::wstring_view line, const ScanJob& job, uint64_t now) {
  // The cursor still ends a console message when no status line stands
  // below that message.
  const bool onConsoleLine = facts_.consoleShown && consoleLineOpen_ && !(shown_ && below_);
  erase(false);
  std::wstring out;
  if (onConsoleLine) out += L'\n';
  out += line;
  platform_.writeError(out);
  consoleLineOpen_ = false;
  refresh(job, now);
}

void Progress::finish(const ScanJob& job, uint64_t now) {
  std::wstring text = summaryText(job, platform_.separator(), now - start_);
  if (facts_.consoleShown && consoleLineOpen_) text.insert(0, 1, L'\n');
  erase(text.front() == L'\n');
  platform_.writeStatus(text);
}

}  // namespace tavrin
