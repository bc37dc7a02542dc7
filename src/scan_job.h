// The state of one command run and the operations that do its work.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <vector>

#include "platform/platform.h"

namespace tavrin {

class FileTable;
class Progress;
struct TableEntry;

// Mode flags: one root bit and one action bit per command.
inline constexpr uint32_t MODE_FIXED_DRIVES = 0x01;
inline constexpr uint32_t MODE_PATHS = 0x02;
inline constexpr uint32_t MODE_LIST = 0x04;
inline constexpr uint32_t MODE_REPAIR = 0x08;
inline constexpr uint32_t MODE_SET = 0x10;
inline constexpr uint32_t MODE_LISTALL = 0x20;

// Read-only, hidden, system, archive, temporary, offline and
// not-content-indexed together, and nothing else.
inline constexpr uint32_t SUSPECT_ATTRIBUTES = 0x3127;

// A result name taken already (another run in the same tick) makes the run
// try the following tick numbers, this many at the most.
inline constexpr uint32_t NAME_RETRIES = 100;

// What a run has done so far, for the person watching it. Plain counters:
// keeping them costs the walk nothing measurable.
struct RunCounts {
  uint64_t filesChecked = 0;  // files handed to the rule
  uint64_t unreadable = 0;    // of those, words that could not be read
  uint64_t records = 0;       // records written, to the file or the console
  uint64_t changed = 0;       // words written: repaired, or set
  uint64_t failed = 0;        // words that could not be written
  uint64_t unlistedFolders = 0;  // folders inside the trees that could not be listed
  std::vector<std::wstring> firstUnlistedFolders;  // the first few of them
  std::vector<std::wstring> unreadableRoots;       // given roots that could not be read at all
  // Roots walked although their volume's file table was tried: "root: why".
  std::vector<std::wstring> walkedInstead;
  std::vector<std::wstring> tableRoots;  // roots read from their file table
  bool rootsOffVolume = false;  // a given root is on no volume that keeps attribute words
  bool emptyRoot = false;       // a given path was empty
  bool nothingToScan = false;   // a run without paths found no drive or volume
};

// How a run ended, as its exit status tells a script.
inline constexpr int EXIT_DONE = 0;     // every root read, every folder listed
inline constexpr int EXIT_PARTIAL = 1;  // done, but something could not be read, changed or kept
inline constexpr int EXIT_FAILED = 2;   // a usage error, or a root that could not be scanned at all

class ScanJob {
 public:
  // Settles the base of the result path; creates no file.
  explicit ScanJob(Platform& platform);
  // Writes what records are still pending and closes the result file.
  ~ScanJob();
  ScanJob(const ScanJob&) = delete;
  ScanJob& operator=(const ScanJob&) = delete;

  std::vector<std::wstring>& roots() { return roots_; }
  void setSetValue(uint32_t value) { setValue_ = value; }
  uint32_t modeFlags() const { return modeFlags_; }
  const std::wstring& resultPath() const { return resultPath_; }
  // Why the result file could not be opened; None when it is open.
  CreateFailure resultFailure() const { return resultFailure_; }
  bool resultFileOpen() const { return resultFile_ != nullptr; }
  // The run failed and its result file, still empty, was removed again.
  bool resultFileRemoved() const { return resultFileRemoved_; }
  const RunCounts& counts() const { return counts_; }
  // True when the run stopped early because a stop was requested.
  bool interrupted() const { return interrupted_; }
  // The path the walk is at (a folder's child, or its listing pattern).
  const std::wstring& walkPath() const { return walkPath_; }
  // Where the walk was when the stop came; empty before the first root.
  const std::wstring& stoppedIn() const { return stoppedIn_; }
  // How much of a file table has been read, in percent; -1 when none is.
  int tablePercent() const { return tablePercent_; }
  // The exit status of the run so far (EXIT_DONE, EXIT_PARTIAL, EXIT_FAILED).
  int exitStatus() const;

  // Runs the whole job: result file, then every root, then the summary.
  void startJob(uint32_t flags);
  // After memory ran out mid-run (the job's work unwound): the pending
  // records go where they belong, standard error says so, and the run
  // counts as partial.
  void endOutOfMemory() noexcept;

  // Result file and records.
  void openResultFile(uint32_t flags);
  void nameResultFile(uint32_t flags);
  void writeRecord(std::wstring_view path, uint32_t attributes);

  // Traversal. walkDirectory works on `directoryPath` in place and gives it
  // back unchanged, so the walk builds every child path in one buffer.
  enum class Listing {
    Whole,     // listed to its end
    NotStarted,  // the directory itself could not be listed
    BrokeOff,  // listed in part: what came before the error was handled
  };
  void addFixedDrives();
  void visitRoots();
  // The tree of a directory root read from its volume's file table, with
  // the walk's records: table_walk.cpp. False when the root is to be walked.
  bool readTable(std::wstring& root);
  bool openTable(std::wstring& root, std::unique_ptr<RawVolume>& volume, FileTable& table,
                 std::unordered_set<uint64_t>& notEntered);
  void emitTable(std::wstring& root, const RawVolume& volume, const FileTable& table,
                 const std::unordered_set<uint64_t>& notEntered);
  void emitTableFile(const std::wstring& path, uint32_t word, uint32_t tag, const RawVolume& volume,
                     const std::vector<TableStep>& steps);
  Listing walkDirectory(std::wstring& directoryPath);

  // What the command does to one file: -1 when its word cannot be read.
  int applyRule(const std::wstring& path);
  // The same with the word known: `reachable` false for a file the system
  // cannot reach (its word is the table's; nothing is written).
  int applyRuleWith(const std::wstring& path, uint32_t attributes, bool reachable);
  // True when the command reads or writes a file of this word through the
  // system (a candidate), not just counts or records it.
  bool ruleActsOn(const std::wstring& path, uint32_t attributes) const;

  // Before a list or repair changes anything: standard error says which
  // roots lie, as a whole, under the marker a repair resets to archive only.
  void warnOfMarkedRoots();

  // Writes a message to the console.
  void print(std::wstring_view text);
  // Writes "tavrin: `text`" as a line to standard error, whether or not it
  // is a terminal: something the run was asked to do could not be done.
  void reportError(std::wstring_view text);

 private:
  void appendToolFolderAndTick(uint32_t tick);
  void flushRecords();
  // The flusher thread's loop: pending records to the file every half
  // interval, whatever the walk is waiting on.
  void flushWhileWalking();
  void stopFlusher() noexcept;
  // Called before each entry of the walk: false when the run must stop.
  bool betweenEntries();
  void catchUpWithClock();
  // Pending records to the file, then the summary for a person watching.
  void finishRun();
  // Closing lines on standard error for what the run could not do: how
  // many, and where they are listed (at a terminal the summary says it).
  void reportShortfall();
  // A failed run that recorded nothing leaves no empty result file behind.
  void removeEmptyResultFile();
  bool listable(std::wstring& folder);
  bool listsAsTable(std::wstring& root, const std::vector<TableEntry>& entries, bool& listed);
  // A folder inside a tree that was not wholly listed, and why.
  void noteUnlistedFolder(const std::wstring& path, const std::wstring& why);
  void noteUnreadableRoot(const std::wstring& root, const std::wstring& why);
  void checkRootVolume(const std::wstring& root);
  void reportResultFileFailure();

  Platform& platform_;
  std::vector<std::wstring> roots_;
  uint32_t setValue_ = 0;
  std::unique_ptr<ResultFile> resultFile_;
  std::wstring resultPath_;
  size_t tickStart_ = 0;  // where the tick digits begin in resultPath_
  uint32_t tick_ = 0;     // the tick the name was made from
  CreateFailure resultFailure_ = CreateFailure::None;
  bool recordsOffFile_ = false;  // some records went to the console instead of the file
  bool resultFileRemoved_ = false;
  bool consoleLineOpen_ = false;  // the console's last message ended without a line feed
  uint32_t modeFlags_ = 0;
  // Between the walk and the flusher thread: the pending records, and the
  // result file while records are written to it. Only the walk's thread
  // closes the file or prints.
  std::mutex recordsMutex_;
  std::wstring pendingRecords_;  // records not yet handed to the result file
  std::wstring offFileRecords_;  // the walk's own: records on their way to the console
  bool flusherFailed_ = false;   // a write of the flusher's failed: the walk takes over
  bool flusherStop_ = false;
  std::condition_variable flusherWake_;
  std::thread flusher_;
  bool outOfMemory_ = false;
  uint64_t lastFlush_ = 0;       // when records last reached the file
  unsigned entriesSinceClock_ = 0;
  bool interrupted_ = false;
  RunCounts counts_;
  std::wstring walkPath_;  // the walk's one path buffer
  std::wstring stoppedIn_;
  int tablePercent_ = -1;
  std::wstring listingError_;  // why the last listing that failed did
  std::unique_ptr<Progress> progress_;  // only when standard error is a terminal
};

// Signed decimal text of a 32-bit word, as records and messages show it.
std::wstring decimal(uint32_t word);

}  // namespace tavrin
