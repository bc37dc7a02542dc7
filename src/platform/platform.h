// The operations tavrin needs from the operating system. The core is written
// against this interface only; tavrin.exe implements it with Win32 calls, the
// Linux build with POSIX calls on NTFS volumes, and the unit tests with an
// in-memory volume. Every call reports failure through its result.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// Attribute bits, drive types and the failure word, spelled as the Windows
// API spells them. Where <windows.h> is already included its macros, with the
// same values, stand in for these.
#ifndef FILE_ATTRIBUTE_READONLY
inline constexpr uint32_t FILE_ATTRIBUTE_READONLY = 0x1;
inline constexpr uint32_t FILE_ATTRIBUTE_HIDDEN = 0x2;
inline constexpr uint32_t FILE_ATTRIBUTE_SYSTEM = 0x4;
inline constexpr uint32_t FILE_ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr uint32_t FILE_ATTRIBUTE_ARCHIVE = 0x20;
inline constexpr uint32_t FILE_ATTRIBUTE_NORMAL = 0x80;
inline constexpr uint32_t FILE_ATTRIBUTE_TEMPORARY = 0x100;
inline constexpr uint32_t FILE_ATTRIBUTE_REPARSE_POINT = 0x400;
inline constexpr uint32_t FILE_ATTRIBUTE_COMPRESSED = 0x800;
inline constexpr uint32_t FILE_ATTRIBUTE_OFFLINE = 0x1000;
inline constexpr uint32_t FILE_ATTRIBUTE_NOT_CONTENT_INDEXED = 0x2000;
#endif
#ifndef INVALID_FILE_ATTRIBUTES
inline constexpr uint32_t INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;
#endif
#ifndef DRIVE_FIXED
inline constexpr unsigned DRIVE_UNKNOWN = 0;
inline constexpr unsigned DRIVE_NO_ROOT_DIR = 1;
inline constexpr unsigned DRIVE_REMOVABLE = 2;
inline constexpr unsigned DRIVE_FIXED = 3;
inline constexpr unsigned DRIVE_REMOTE = 4;
inline constexpr unsigned DRIVE_CDROM = 5;
inline constexpr unsigned DRIVE_RAMDISK = 6;
#endif

namespace tavrin {

// One entry of a directory listing. The walker relies on the directory and
// reparse-point bits of `attributes` only; the rule reads the word afresh.
struct FindEntry {
  uint32_t attributes = 0;
  std::wstring name;  // the entry's own name, without its directory
  // A reparse point that stands for another place (junction, mount point,
  // symbolic link), as opposed to one whose data lives elsewhere (a cloud
  // or tiered file). Only the first kind is never entered.
  bool nameSurrogate = false;
};

// An open directory listing; destroying it ends the search.
class DirectorySearch {
 public:
  virtual ~DirectorySearch() = default;
  // Fills `entry` with the next entry. False when none remains or the
  // listing fails; either way the listing is over.
  virtual bool next(FindEntry& entry) = 0;
  // The same, but only the entry's name need be filled: a caller that
  // compares names spares the system a look at each entry.
  virtual bool nextName(FindEntry& entry) { return next(entry); }
  // True when the listing broke off with an error instead of reaching its
  // end (a damaged index, a disk that stopped answering): the entries
  // returned before stand, but the folder was not wholly listed. Why is in
  // the platform's lastError().
  virtual bool failed() const { return false; }
};

// The file the records of one run go to. Destroying it closes it.
class ResultFile {
 public:
  virtual ~ResultFile() = default;
  // Writes `text` completely (line feeds become the platform's line end), or
  // not at all: when it cannot all be written the file is cut back to its
  // size before the call, so it never ends in a partial record. False then.
  virtual bool write(std::wstring_view text) = 0;
  // Why the last write failed ("no space left on the disk"), for a message.
  virtual std::wstring error() const = 0;
  // Closes the file and removes it, but only while it is still empty and
  // its name still leads to the file this object created: a run that failed
  // leaves no empty file a script would take for "nothing found". True when
  // it was removed; the object is not written to again either way.
  virtual bool removeIfEmpty() { return false; }
};

// Why a result file could not be created.
enum class CreateFailure {
  None,
  NameTaken,         // the name exists already (a link included)
  FolderMissing,     // the folder it would go in does not exist
  AccessDenied,
  FolderNotTrusted,  // the folder is a link, or belongs to someone else
  Other,
};

// What standard error is, for the status line and summary a person sees.
struct TerminalFacts {
  // An interactive terminal a person watches: not redirected, not a pipe,
  // not a terminal that declares itself dumb. Nothing is shown otherwise.
  bool interactive = false;
  // It follows control sequences (erase to end of line, cursor up); without
  // them a line is erased by writing blanks over it.
  bool controlSequences = false;
  // Standard output shows on a terminal too, so console messages share the
  // screen with the status line.
  bool consoleShown = false;
};

// An entry of a folder as the system lists it, with the file-table record
// the system gives it.
struct ListedRecord {
  std::wstring name;
  uint64_t record = 0;
};

// Raw, read-only access to a volume's bytes, for reading its file table.
class VolumeBytes {
 public:
  virtual ~VolumeBytes() = default;
  // Reads exactly `length` bytes at `offset` into `into`; false when it cannot.
  virtual bool read(uint64_t offset, size_t length, uint8_t* into) = 0;
  // The caller will read `length` bytes at `offset` soon: the system may
  // fetch them meanwhile. Only a hint; it may do nothing.
  virtual void prefetch(uint64_t /*offset*/, uint64_t /*length*/) {}
};

// The order in which the system's listing returns a folder's entries.
enum class ListingOrder {
  // The index root's entries, then those of each index block in use, block
  // after block (the Linux drivers).
  IndexBlocks,
  // The index's own (collation) order (Windows).
  Collation,
};

// The volume that holds a root, opened for reading its file table, and what
// the reader must know of the system that shows the volume otherwise.
class RawVolume : public VolumeBytes {
 public:
  ListingOrder order = ListingOrder::IndexBlocks;
  uint64_t rootRecord = 0;  // the root's record in the table
  // Folders inside the tree on which another volume is mounted, relative to
  // the root, components joined by the separator: not entered.
  std::vector<std::wstring> mountPoints;
  // Each folder is first listed through the system, which may refuse it
  // (rights, the path limit): the walk would not enter it either.
  bool checkFolders = false;
  // Files whose path has at least this many characters are read through the
  // system, as the walk reads them (0: no limit). A path past `fallbackPath`
  // (0: none) makes the root walked. `pathPrefix` is what the system puts
  // before the paths as built when it measures them (the current folder,
  // for a relative root).
  size_t filePathLimit = 0;
  size_t fallbackPath = 0;
  size_t pathPrefix = 0;
  // The bytes the table may take (0: no limit of its own): past them its
  // root, or a folder, is walked instead.
  uint64_t memoryBudget = 0;
  // The word the system reports for a stored word (before any adjustment
  // for links, which the reader leaves to the system).
  virtual uint32_t reportedWord(uint32_t stored, bool directory) const = 0;
  // The root's entries with the records the system gives them, where it
  // gives them: what tells that the bytes read are the volume mounted there.
  // Empty where the system gives none.
  virtual std::vector<ListedRecord> rootRecords() const { return {}; }
  // The folders (by record) whose entries the system says changed since the
  // volume was opened, from its change journal, added to `folders`. False
  // when the journal lost track (its entries were overwritten or it was
  // deleted): then nothing read may be trusted. Systems without a journal
  // add nothing; the table's own second reading stands.
  virtual bool changedFolders(std::vector<uint64_t>& /*folders*/) { return true; }
};

// One folder on the way from a root to a folder of its tree: where its name
// ends in the folder's path, and its record in the file table.
struct TableStep {
  size_t end = 0;
  uint64_t record = 0;
};

class Platform {
 public:
  virtual ~Platform() = default;

  // The attribute word of `path`, without following a final link, or
  // INVALID_FILE_ATTRIBUTES when it cannot be read.
  virtual uint32_t getFileAttributes(const std::wstring& path) = 0;
  // True when the word was written.
  virtual bool setFileAttributes(const std::wstring& path, uint32_t attributes) = 0;

  // Starts listing `pattern`, a directory, the separator and "*". Fills
  // `first` with the first entry ("." and ".." included where the system
  // lists them). Null when the listing is empty (then `first.attributes` is
  // 0) or cannot start (then it is INVALID_FILE_ATTRIBUTES).
  virtual std::unique_ptr<DirectorySearch> findFirstFile(const std::wstring& pattern,
                                                          FindEntry& first) = 0;

  // The roots of all logical drives, in the system's order: the whole list,
  // however long; empty when it cannot be read.
  virtual std::vector<std::wstring> logicalDriveStrings() = 0;
  // One of the DRIVE_* values for a root from logicalDriveStrings().
  virtual unsigned getDriveType(const std::wstring& root) = 0;
  // The name of the volume at `root` (the same for every root of one
  // volume), or nothing when the system gives none.
  virtual std::optional<std::wstring> volumeName(const std::wstring& /*root*/) {
    return std::nullopt;
  }
  // For a drive that is a substitute for a folder, that folder ("C:\data");
  // otherwise nothing. Systems whose drive list has no such aliases keep
  // these defaults.
  virtual std::optional<std::wstring> substitutedFolder(const std::wstring& /*root*/) {
    return std::nullopt;
  }

  // The volume holding the directory `root`, for reading its file table;
  // null when the platform may not read it, with the reason in `why` (left
  // empty where no table is to be had: not an NTFS volume).
  virtual std::unique_ptr<RawVolume> openRawVolume(const std::wstring& /*root*/, std::wstring& /*why*/) {
    return nullptr;
  }
  // Makes the folder `path` (its steps from the root, as the table names
  // them) the one whose entries the attribute calls reach next: opened from
  // the root name by name, never through a link, each checked to be the
  // table's record. False when it cannot be reached so; then no entry of it
  // may be asked for. leaveTableFolders() ends the table's run of a root.
  virtual bool enterTableFolder(const std::wstring& /*path*/, const std::vector<TableStep>& /*steps*/) {
    return true;
  }
  virtual void leaveTableFolders() {}

  // The machine-wide application-data folder, without a trailing separator.
  virtual std::optional<std::wstring> commonAppDataFolder() = 0;
  // Milliseconds since the system started, wrapping at 2^32.
  virtual uint32_t tickCount() = 0;
  // Milliseconds on a clock that never goes back, for measuring intervals.
  virtual uint64_t monotonicMilliseconds() = 0;
  // True once the user or the system asked the run to stop (Ctrl+C, a
  // termination signal, logoff): the run ends at the next file boundary.
  virtual bool stopRequested() = 0;
  // The character that separates path components.
  virtual wchar_t separator() const = 0;
  // Whether the path of an entry of `folder` is `folder`, the separator and
  // the name, or `folder` and the name: a folder that ends with the
  // separator already takes none, and on Windows neither does a bare drive
  // ("C:" is the current folder of drive C:, and its entry "x" is "C:x").
  virtual bool separatorBeforeEntry(std::wstring_view folder) const {
    return folder.empty() || folder.back() != separator();
  }

  // Why the last call that failed (a word not read or not written, a
  // listing that did not start or broke off) failed, in a few words for a
  // message: "not found", "access denied", "I/O error", or the system's own.
  virtual std::wstring lastError() = 0;
  // False when the volume that holds `path` keeps no attribute words of its
  // own, so the words tavrin shows there are only made up from the file's
  // type (Linux: a folder that is not on an NTFS volume). Systems whose
  // volumes all keep them answer true.
  virtual bool keepsAttributeWords(const std::wstring& /*path*/) { return true; }
  // What a run without paths tells the user when it finds nothing to scan.
  virtual std::wstring noVolumesMessage() { return L"found no fixed drive to scan"; }
  // The command an administrator types to create `folder`.
  virtual std::wstring makeFolderCommand(const std::wstring& folder) = 0;

  // Writes `text` to the console, line feeds as the platform shows them.
  virtual void writeConsole(std::wstring_view text) = 0;
  // True when the console (standard output) is a terminal a person reads,
  // not a file or a pipe.
  virtual bool consoleIsTerminal() { return false; }
  // Standard error as a terminal, asked once per run.
  virtual TerminalFacts statusTerminal() = 0;
  // Its width in columns, asked before each redraw; 0 when unknown.
  virtual unsigned statusWidth() = 0;
  // Writes `text` to standard error as it stands, at once: only ever when
  // standard error is an interactive terminal.
  virtual void writeStatus(std::wstring_view text) = 0;
  // Writes an error line to standard error, whatever standard error is (a
  // terminal, a file, a pipe); line feeds as the platform writes them.
  virtual void writeError(std::wstring_view text) = 0;
  // Runs `work` on a thread of its own that takes none of the signals or
  // events meant for the run, so a stop still interrupts what the walk waits
  // on. The thread the run's records reach the file from while the walk
  // waits; where the platform runs none (the default: a thread that is not
  // joinable) they reach it between entries of the walk only.
  virtual std::thread startThread(std::function<void()> /*work*/) { return {}; }

  // Creates a new file at `path` for the records. Null, with the reason in
  // `failure`, when the name exists already (a link included) or the file
  // cannot be created: an existing file is never truncated or written through.
  virtual std::unique_ptr<ResultFile> createResultFile(const std::wstring& path,
                                                       CreateFailure& failure) = 0;
  // What an administrator should put right about the folder of the result
  // file just created, though the file could be created there (Windows: a
  // tool folder that lets other users add files); empty when all is well.
  virtual std::wstring resultFolderWarning() { return {}; }
};

// The platform of the machine the program runs on.
std::unique_ptr<Platform> createNativePlatform();

}  // namespace tavrin
