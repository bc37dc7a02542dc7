// The state of one command run and the operations that do its work.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace tavrin {

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

  // Runs the whole job: result file, then every root.
  void startJob(uint32_t flags);

  // Result file and records.
  void openResultFile(uint32_t flags);
  void nameResultFile(uint32_t flags);
  void writeRecord(std::wstring_view path, uint32_t attributes);

  // Traversal. walkDirectory works on `directoryPath` in place and gives it
  // back unchanged, so the walk builds every child path in one buffer.
  void addFixedDrives();
  void visitRoots();
  void walkDirectory(std::wstring& directoryPath);

  // What the command does to one file: -1 when its word cannot be read.
  int applyRule(const std::wstring& path);

 private:
  void appendToolFolderAndTick(uint32_t tick);
  void flushRecords();

  Platform& platform_;
  std::vector<std::wstring> roots_;
  uint32_t setValue_ = 0;
  std::unique_ptr<ResultFile> resultFile_;
  std::wstring resultPath_;
  uint32_t modeFlags_ = 0;
  std::wstring pendingRecords_;  // records not yet handed to the result file
};

// Signed decimal text of a 32-bit word, as records and messages show it.
std::wstring decimal(uint32_t word);

}  // namespace tavrin
