// The folders tavrin.exe walks. Each is opened once, by its handle's parent
// for a folder met in the walk (never through a reparse point, its file ID
// checked against the listing), and listed, read and changed through that
// handle: a folder replaced by a junction while the run goes on cannot lead
// a change elsewhere. Records and messages keep the paths as built.
#pragma once

#include <windows.h>
#include <winternl.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrin {

// One entry as a listing gave it.
struct ListedEntry {
  uint32_t attributes = 0;
  uint32_t reparseTag = 0;  // of a reparse point; 0 when the listing gives none
  int64_t id = 0;           // the file ID; 0 when the file system gives none
  std::wstring_view name;   // valid until the next entry is read
};

// The entries of a folder open as `folder` (not owned), read in batches.
class FolderReader {
 public:
  // With `name`, only the entries that match it (the system's pattern rules).
  explicit FolderReader(HANDLE folder, std::wstring_view name = {});
  // False at the end of the listing, or when it fails: see status().
  bool next(ListedEntry& entry);
  // Why next() returned false: STATUS_NO_MORE_FILES (or STATUS_NO_SUCH_FILE
  // for an empty listing) at the end, anything else a failure.
  NTSTATUS status() const { return status_; }
  bool failed() const;

 private:
  bool fill();

  HANDLE folder_;
  std::wstring name_;
  std::vector<uint64_t> buffer_;  // aligned for the records
  std::size_t offset_ = 0;
  bool filled_ = false;
  bool first_ = true;
  NTSTATUS status_ = 0;
};

// The word of an entry whose word could not be read. Paging files
// (pagefile.sys, swapfile.sys, hiberfil.sys) refuse every open, even for
// their attributes, with ERROR_SHARING_VIOLATION, while a listing still
// shows their word; `listing` lists the folder afresh for `name` alone.
// Only an exact match of the name counts: a listing by name matches by
// pattern. INVALID_FILE_ATTRIBUTES when that gives nothing either.
uint32_t wordAfterFailedRead(DWORD error, std::wstring_view name,
                             const std::function<bool(ListedEntry&)>& listing);

// How the walk's paths under one open folder are given to Win32.
struct FolderPath {
  std::wstring shown;     // the folder as the walk builds it: with its separator, or "C:"
  std::wstring literal;   // its "\\?\" form, with the separator
  std::size_t added = 0;  // characters the literal form adds to the full path
  bool limited = true;    // the full path is held to MAX_PATH

  // `path` is the folder's and one name: the name.
  std::optional<std::wstring_view> nameIn(std::wstring_view path) const;
  // The full path of the entry `name`, or of the listing pattern of the
  // folder `name` (with "\*"), would reach MAX_PATH, which a program that is
  // not long-path aware is refused.
  bool entryTooLong(std::size_t nameLength) const;
  bool patternTooLong(std::size_t nameLength) const;
  // The literal path of the entry `name`.
  std::wstring literalOf(std::wstring_view name) const;
  // The same for the folder `name` in this one, shown as `shown`.
  FolderPath child(std::wstring_view name, std::wstring shownChild) const;
};

}  // namespace tavrin
