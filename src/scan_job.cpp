#include "scan_job.h"

#include <chrono>
#include <new>

#include "progress.h"
#include "screen_text.h"

namespace tavrin {
namespace {

// Records are handed to the result file in chunks of about this many
// characters, so a large listing costs few writes.
constexpr size_t RECORD_CHUNK = 32768;
// Pending records reach the file at least this often, so a file being
// watched grows and a crash loses little.
constexpr uint64_t FLUSH_INTERVAL_MS = 1000;
// The clock is read once per this many entries of the walk.
constexpr unsigned ENTRIES_PER_CLOCK_READ = 16;

}  // namespace

std::wstring decimal(uint32_t word) {
  return std::to_wstring(static_cast<int32_t>(word));
}

ScanJob::ScanJob(Platform& platform) : platform_(platform) {
  appendToolFolderAndTick(platform_.tickCount());
  const TerminalFacts terminal = platform_.statusTerminal();
  if (terminal.interactive) {
    progress_ = std::make_unique<Progress>(platform_, terminal, platform_.monotonicMilliseconds());
  }
}

ScanJob::~ScanJob() {
  stopFlusher();
  try {
    flushRecords();
  } catch (...) {
    // Out of memory even for this: nothing more can be written.
  }
}

void ScanJob::stopFlusher() noexcept {
  if (!flusher_.joinable()) return;
  try {
    {
      const std::lock_guard lock(recordsMutex_);
      flusherStop_ = true;
    }
    flusherWake_.notify_all();
    flusher_.join();
  } catch (...) {
    flusher_.detach();  // cannot be: joinable, and not this thread
  }
}

// Only ever writes to the file, never closes it or prints: a write that
// fails leaves the records pending and the walk's next flush takes over.
void ScanJob::flushWhileWalking() {
  try {
    std::unique_lock lock(recordsMutex_);
    while (!flusherStop_) {
      flusherWake_.wait_for(lock, std::chrono::milliseconds(FLUSH_INTERVAL_MS / 2));
      if (flusherStop_ || !resultFile_ || flusherFailed_ || pendingRecords_.empty()) continue;
      if (resultFile_->write(pendingRecords_)) {
        pendingRecords_.clear();
      } else {
        flusherFailed_ = true;
      }
    }
  } catch (...) {
    // Out of memory: the records stay pending for the walk's own flush.
  }
}

// The common application-data folder, the tool folder and the tick digits;
// without the folder, the bare tick digits (a name in the current directory).
void ScanJob::appendToolFolderAndTick(uint32_t tick) {
  if (const std::optional<std::wstring> folder = platform_.commonAppDataFolder()) {
    const wchar_t sep = platform_.separator();
    resultPath_ = *folder;
    resultPath_ += sep;
    resultPath_ += L"Norvane";
    resultPath_ += sep;
    resultPath_ += L"Wickline";
    resultPath_ += sep;
  }
  tickStart_ = resultPath_.size();
  tick_ = tick;
  resultPath_ += decimal(tick);
}

void ScanJob::openResultFile(uint32_t flags) {
  modeFlags_ = flags;
  nameResultFile(flags);
  resultFile_ = platform_.createResultFile(resultPath_, resultFailure_);
  if (!resultFile_ && resultFailure_ == CreateFailure::NameTaken) {
    // The same name with the next tick numbers; what follows the tick
    // digits (the suffix) stays.
    const std::wstring first = resultPath_;
    const size_t suffixStart = tickStart_ + decimal(tick_).size();
    const std::wstring suffix = first.substr(suffixStart);
    for (uint32_t step = 1; step <= NAME_RETRIES && !resultFile_ &&
                            resultFailure_ == CreateFailure::NameTaken;
         ++step) {
      resultPath_.resize(tickStart_);
      resultPath_ += decimal(tick_ + step);
      resultPath_ += suffix;
      resultFile_ = platform_.createResultFile(resultPath_, resultFailure_);
    }
    if (!resultFile_) resultPath_ = first;
  }
  if (resultFile_) {
    resultFailure_ = CreateFailure::None;
    const std::wstring warning = platform_.resultFolderWarning();
    if (!warning.empty()) reportError(warning);
  } else {
    if (resultFailure_ == CreateFailure::None) resultFailure_ = CreateFailure::Other;
    print(L"Could not open file to write results " + resultPath_);
    reportResultFileFailure();
  }
  lastFlush_ = platform_.monotonicMilliseconds();
  if (resultFile_ && !(flags & MODE_SET)) {
    flusher_ = platform_.startThread([this] { flushWhileWalking(); });
  }
}

// The set command's file only marks the run and never holds a record:
// without it nothing is lost, so nothing is reported.
void ScanJob::reportResultFileFailure() {
  if (modeFlags_ & MODE_SET) return;
  recordsOffFile_ = true;
  std::wstring folder = resultPath_.substr(0, tickStart_);
  if (!folder.empty() && folder.back() == platform_.separator()) folder.pop_back();
  std::wstring why;
  switch (resultFailure_) {
    case CreateFailure::FolderMissing:
      why = L"the folder " + folder + L" does not exist; create it with: " +
            platform_.makeFolderCommand(folder);
      break;
    case CreateFailure::AccessDenied:
      why = L"access denied";
      break;
    case CreateFailure::FolderNotTrusted:
      why = L"the folder " + folder + L" is a link or belongs to another user";
      break;
    case CreateFailure::NameTaken:
      why = L"the name and the next " + std::to_wstring(NAME_RETRIES) + L" are taken";
      break;
    default:
      why = platform_.lastError();
      break;
  }
  reportError(L"could not create the result file " + resultPath_ + L": " + why +
              L"; the records follow on standard output");
}

void ScanJob::nameResultFile(uint32_t flags) {
  const wchar_t* suffix = nullptr;
  if (flags & MODE_LISTALL) {
    suffix = L"allFiles";
  } else if (flags & MODE_LIST) {
    suffix = L"badFiles";
  } else if (flags & MODE_REPAIR) {
    suffix = L"couldNotFix";
  }
  if (suffix) {
    resultPath_ += suffix;
    resultPath_ += L".txt";
    return;
  }
  // The set command names its file after a fresh tick reading.
  const uint32_t tick = platform_.tickCount();
  resultPath_.clear();
  appendToolFolderAndTick(tick);
}

void ScanJob::writeRecord(std::wstring_view path, uint32_t attributes) {
  ++counts_.records;
  {
    const std::lock_guard lock(recordsMutex_);
    std::wstring& out = pendingRecords_;
    out += L'\n';
    out += decimal(attributes);
    out += L", ";
    out += path;
    // No file: straight to the console.
    if (resultFile_ && out.size() < RECORD_CHUNK) return;
  }
  flushRecords();
}

void ScanJob::print(std::wstring_view text) {
  if (!text.empty()) consoleLineOpen_ = text.back() != L'\n';
  if (!progress_) {
    platform_.writeConsole(text);
    return;
  }
  progress_->beforeMessage(text);
  platform_.writeConsole(text);
  progress_->afterMessage(text, *this, platform_.monotonicMilliseconds());
}

void ScanJob::reportError(std::wstring_view text) {
  std::wstring line = L"tavrin: ";
  line += text;
  line += L'\n';
  if (progress_) {
    progress_->error(line, *this, platform_.monotonicMilliseconds());
  } else {
    platform_.writeError(line);
  }
}

int ScanJob::exitStatus() const {
  if (!counts_.unreadableRoots.empty() || counts_.emptyRoot || counts_.rootsOffVolume ||
      counts_.nothingToScan) {
    return EXIT_FAILED;
  }
  if (counts_.unlistedFolders > 0 || counts_.unreadable > 0 || counts_.failed > 0 ||
      recordsOffFile_ || outOfMemory_) {
    return EXIT_PARTIAL;
  }
  return EXIT_DONE;
}

void ScanJob::finishRun() {
  stopFlusher();
  flushRecords();
  reportShortfall();
  if (exitStatus() == EXIT_FAILED) removeEmptyResultFile();
  // Messages begin with a line feed and end without one: at a terminal the
  // prompt would follow on the last message's line (the summary, when there
  // is one, starts a line of its own). Redirected, the bytes stay as they are.
  if (!progress_ && consoleLineOpen_ && platform_.consoleIsTerminal()) print(L"\n");
  if (progress_) progress_->finish(*this, platform_.monotonicMilliseconds());
}

void ScanJob::reportShortfall() {
  const RunCounts& counts = counts_;
  if (counts.unlistedFolders > counts.firstUnlistedFolders.size()) {
    reportError(std::to_wstring(counts.unlistedFolders) + L" folders could not be listed in all, " +
                std::to_wstring(counts.firstUnlistedFolders.size()) + L" of them named above");
  }
  // At a terminal the summary says as much, beside the lines it counts.
  if (progress_) return;
  if (counts.unlistedFolders > 0 && counts.unlistedFolders <= counts.firstUnlistedFolders.size()) {
    reportError(countOf(counts.unlistedFolders, L"folder", L"folders") +
                L" could not be listed, named above");
  }
  if (counts.unreadable > 0) {
    reportError(countOf(counts.unreadable, L"file", L"files") +
                L" could not be read: see the INVALID_FILE_ATTRIBUTES lines on standard output");
  }
  if (counts.failed > 0 && (modeFlags_ & MODE_REPAIR)) {
    const bool inFile = resultFile_ && !recordsOffFile_;
    reportError(countOf(counts.failed, L"file", L"files") + L" could not be repaired: listed " +
                (inFile ? L"in " + resultPath_ + L" and " : std::wstring()) +
                L"as FlagsR lines on standard output");
  } else if (counts.failed > 0) {
    reportError(countOf(counts.failed, L"file", L"files") +
                L" could not be set: see the \"Could not set attributes\" lines on standard output");
  }
  if (recordsOffFile_) {
    reportError(resultFailure_ == CreateFailure::None
                    ? L"the result file " + resultPath_ +
                          L" holds the records up to where it could not be written; the rest are on standard output"
                : counts.records == 0
                    ? std::wstring(L"no result file; the run found nothing to record")
                    : L"no result file: the " + countOf(counts.records, L"record is", L"records are") +
                          L" on standard output");
  }
}

void ScanJob::removeEmptyResultFile() {
  if (!resultFile_ || counts_.records > 0) return;
  resultFileRemoved_ = resultFile_->removeIfEmpty();
  resultFile_.reset();
}

// A chunk that cannot be written is not lost: the file is left as it was
// before the chunk, the console says so and gets the whole chunk, and every
// later record goes to the console as well. Each record stands once, whole,
// in one place or the other.
void ScanJob::flushRecords() {
  std::unique_lock lock(recordsMutex_);
  if (pendingRecords_.empty()) return;
  if (resultFile_ && !flusherFailed_ && resultFile_->write(pendingRecords_)) {
    pendingRecords_.clear();
    return;
  }
  std::wstring& records = offFileRecords_;
  records.swap(pendingRecords_);
  std::wstring why;
  const bool fileFailed = resultFile_ != nullptr;
  if (fileFailed) {
    why = resultFile_->error();
    resultFile_.reset();
  }
  lock.unlock();  // the console may be slow; the flusher has nothing left to do
  if (fileFailed) {
    recordsOffFile_ = true;
    print(L"\nCould not write to the result file " + resultPath_ + L", the records follow here");
    reportError(L"could not write to the result file " + resultPath_ + L": " + why +
                L"; the records follow on standard output");
  }
  print(records);
  records.clear();  // its room serves the next record
}

void ScanJob::endOutOfMemory() noexcept {
  outOfMemory_ = true;
  stopFlusher();
  try {
    // What the walk was in when memory ran out: a folder being listed shows
    // as its pattern.
    std::wstring where = walkPath_;
    const wchar_t sep = platform_.separator();
    if (where.size() >= 2 && where.back() == L'*' && where[where.size() - 2] == sep) {
      where.resize(where.size() - 2);
    }
    flushRecords();
    reportError(where.empty() ? std::wstring(L"out of memory; the run ended there")
                              : L"out of memory in " + where + L"; the run ended there");
    if (progress_) progress_->finish(*this, platform_.monotonicMilliseconds());
  } catch (...) {
    // Not even that much memory: the records still pending are written
    // when the job ends, if they can be.
  }
}

bool ScanJob::betweenEntries() {
  if (platform_.stopRequested()) {
    interrupted_ = true;
    stoppedIn_ = walkPath_;
    return false;
  }
  if (++entriesSinceClock_ >= ENTRIES_PER_CLOCK_READ) {
    entriesSinceClock_ = 0;
    catchUpWithClock();
  }
  return true;
}

void ScanJob::catchUpWithClock() {
  const uint64_t now = platform_.monotonicMilliseconds();
  if (!pendingRecords_.empty() && now - lastFlush_ >= FLUSH_INTERVAL_MS) {
    flushRecords();
    lastFlush_ = now;
  }
  if (progress_) progress_->refresh(*this, now);
}

}  // namespace tavrin
