#include "scan_job.h"

namespace tavrin {
namespace {

// Records are handed to the result file in chunks of about this many
// characters, so a large listing costs few writes.
constexpr size_t RECORD_CHUNK = 32768;

}  // namespace

std::wstring decimal(uint32_t word) {
  return std::to_wstring(static_cast<int32_t>(word));
}

ScanJob::ScanJob(Platform& platform) : platform_(platform) {
  appendToolFolderAndTick(platform_.tickCount());
}

ScanJob::~ScanJob() {
  flushRecords();
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
  resultPath_ += decimal(tick);
}

void ScanJob::openResultFile(uint32_t flags) {
  modeFlags_ = flags;
  nameResultFile(flags);
  resultFile_ = platform_.createResultFile(resultPath_);
  if (!resultFile_) {
    platform_.writeConsole(L"Could not open file to write results " + resultPath_);
  }
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
  std::wstring& out = pendingRecords_;
  out += L'\n';
  out += decimal(attributes);
  out += L", ";
  out += path;
  if (!resultFile_) {  // no file: straight to the console
    platform_.writeConsole(out);
    out.clear();
  } else if (out.size() >= RECORD_CHUNK) {
    flushRecords();
  }
}

// A chunk that cannot be written is not lost: the console says so and gets
// it, and every later record goes to the console as well.
void ScanJob::flushRecords() {
  if (!resultFile_ || pendingRecords_.empty()) return;
  if (!resultFile_->write(pendingRecords_)) {
    resultFile_.reset();
    platform_.writeConsole(L"\nCould not write to the result file " + resultPath_ +
                           L", the records follow here");
    platform_.writeConsole(pendingRecords_);
  }
  pendingRecords_.clear();
}

}  // namespace tavrin
