// How tavrin.exe comes to read a volume's file table: the decisions, apart
// from the Win32 calls that carry them out (win32_table.cpp), so that the
// unit tests can follow them on any system.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace tavrin {

// A volume's change journal from the moment it was opened on.
class ChangeJournal {
 public:
  virtual ~ChangeJournal() = default;
  // Adds the folder of every change since then (each change names the folder
  // that holds the changed entry); false when the journal no longer reaches
  // back that far, or cannot be read.
  virtual bool changedFolders(std::vector<uint64_t>& folders) = 0;
};

// The folders of the change records in `data` (what one read of a journal
// gives: the next position, then records of versions 2 to 4), added to
// `folders`; `next` is the position to read on from. False when malformed.
bool parseJournalRecords(const uint8_t* data, size_t size, std::vector<uint64_t>& folders, int64_t& next);

// The system calls the decisions rest on.
class VolumeAccess {
 public:
  virtual ~VolumeAccess() = default;
  // The device of the NTFS volume that holds `root` ("\\.\C:"); nothing for
  // another file system, a drive with no NTFS device behind it (a folder
  // Wine shows as a drive), or when the system cannot tell.
  virtual std::optional<std::wstring> ntfsVolumeOf(const std::wstring& root) = 0;
  // The run has an administrator's rights (elevated).
  virtual bool elevated() = 0;
  // Has the system write what it holds of the volume to it.
  virtual bool flush(const std::wstring& volume) = 0;
  virtual std::unique_ptr<VolumeBytes> openForReading(const std::wstring& volume) = 0;
  // The record of the folder `root` in the volume's table (its file index).
  virtual std::optional<uint64_t> recordOf(const std::wstring& root) = 0;
  // `root` as the system completes it before measuring a path against its
  // limit (a relative root with the current folder before it).
  virtual std::wstring fullPath(const std::wstring& root) { return root; }
  // The bytes the table may take: a share of the memory free (0: no limit).
  virtual uint64_t memoryBudget() { return 0; }
  // The volume's change journal from now on; null where it keeps none.
  virtual std::unique_ptr<ChangeJournal> openJournal(const std::wstring& /*volume*/) { return nullptr; }
};

// The volume of the directory `root` for reading its table, or null: with
// no reason for a volume that is not NTFS, with one when it cannot be read
// (not elevated, not flushed, not opened). The volume is flushed before it is
// opened, so the table holds every change made so far.
std::unique_ptr<RawVolume> openWindowsVolume(VolumeAccess& access, const std::wstring& root,
                                             std::wstring& why);

// The word GetFileAttributesW reports for a stored $STANDARD_INFORMATION word.
uint32_t windowsReportedWord(uint32_t stored, bool directory);

}  // namespace tavrin
