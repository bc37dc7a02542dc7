// An in-memory Windows volume for the unit tests. It answers every platform
// call from a map of paths to nodes and records each effect, in order, so a
// test can assert exactly what a run touched and what it printed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/text.h"
#include "platform/tool_folder.h"

namespace tavrin::test {

class FakePlatform : public Platform {
 public:
  // Starts with no drives, the application-data folder C:\ProgramData and
  // the tick count 1000.
  FakePlatform();

  // --- Building the volume. Paths are compared as given, except that one
  // trailing backslash is ignored (not after a drive's colon), and "C:" and
  // "C:name" are the current folder of drive C: and its entry, as on Windows
  // (C:\ unless setDriveFolder says otherwise). Missing parent directories
  // are created as plain directories.
  void addDrive(const std::wstring& root, unsigned type);  // listed, and its root exists
  // C: as a fixed drive holding the tool folder C:\ProgramData\Norvane\Wickline.
  void addSystemDrive();
  void listDrive(const std::wstring& root, unsigned type);  // listed only
  void addDir(const std::wstring& path, uint32_t attributes = FILE_ATTRIBUTE_DIRECTORY);
  // A reparse-point folder whose data lives elsewhere (a cloud folder): it
  // is not a name surrogate, so the walk enters it.
  void addCloudDir(const std::wstring& path);
  void addFile(const std::wstring& path, uint32_t attributes = FILE_ATTRIBUTE_ARCHIVE,
               const std::string& content = {});

  void makeUnlistable(const std::wstring& directory);
  // The listing yields its first `entries` entries ("." and ".." count), then fails.
  void failListingAfter(const std::wstring& directory, std::size_t entries);
  // A root on a volume without attribute words of its own.
  void putOffVolume(const std::wstring& path) { offVolume_.push_back(path); }
  // Listed by the search, but its attribute word can no longer be read.
  void makeVanishing(const std::wstring& path);
  void refuseAttributeWrites(const std::wstring& path);
  void makeDriveListUnreadable() { driveListUnreadable_ = true; }
  // The current folder of the drive `drive` ("C:") is `folder`.
  void setDriveFolder(const std::wstring& drive, const std::wstring& folder) {
    driveFolders_[drive] = folder;
  }
  // A root of volume `name` (roots without one have no volume name).
  void setVolumeName(const std::wstring& root, const std::wstring& name) { volumes_[root] = name; }
  // `root` is a substitute for `folder`, as SUBST makes it.
  void substitute(const std::wstring& root, const std::wstring& folder) { substitutes_[root] = folder; }

  // Successive lookups take the next answer; the last one repeats.
  void setAppDataFolders(std::vector<std::optional<std::wstring>> answers);
  void setTicks(std::vector<uint32_t> ticks);

  void refuseCreate(const std::wstring& path, CreateFailure why = CreateFailure::AccessDenied);
  // The folders Norvane and Wickline are judged as the platform judges them:
  // whether the run is elevated, and who owns each folder.
  void setElevated(bool elevated) { elevated_ = elevated; }
  void ownByAnotherUser(const std::wstring& path) { find(path)->foreignOwner = true; }
  // The access list of a folder (the default: empty, nobody may add).
  void setAccess(const std::wstring& path, AccessList list) { find(path)->access = std::move(list); }
  // Every result file created from now on holds at most `bytes` bytes; a
  // write that does not fit fails and leaves the file as it was, like a full
  // disk (the platform cuts back what went out).
  void failWritesAfter(std::size_t bytes) { writeLimit_ = bytes; }

  // The folder `root` lies on a volume whose bytes are `table.image` (see
  // ntfs_image.h): the run may read its file table. With `refusal` set the
  // platform refuses with that reason instead.
  struct Table {
    std::vector<uint8_t> image;
    uint64_t rootRecord = 5;
    ListingOrder order = ListingOrder::IndexBlocks;
    bool checkFolders = false;
    size_t filePathLimit = 0;
    size_t pathPrefix = 0;
    uint64_t memoryBudget = 0;
    std::vector<ListedRecord> rootRecords;
    std::vector<uint64_t> changedFolders;  // named by a change journal
    bool journalLost = false;
    std::vector<std::wstring> mountPoints;
    std::wstring refusal;
  };
  void setTable(const std::wstring& root, Table table) { tables_[keyOf(root)] = std::move(table); }
  // The folder (and what lies below it) cannot be reached from the root.
  void refuseTableFolder(const std::wstring& folder) { refusedTableFolders_.push_back(folder); }

  // Each read of the monotonic clock advances it by `milliseconds`.
  void setClockStep(uint64_t milliseconds) { clockStep_ = milliseconds; }
  // Standard error as a terminal `columns` wide (0: it does not say).
  void setTerminal(TerminalFacts facts, unsigned columns) {
    terminal_ = facts;
    columns_ = columns;
  }
  // Standard output is a terminal a person reads.
  void setConsoleTerminal(bool terminal) { consoleTerminal_ = terminal; }
  // stopRequested() answers true once `when` does (asked before each entry).
  void stopWhen(std::function<bool()> when) { stopWhen_ = std::move(when); }

  // --- What happened. Log lines: "get P", "set P <word>", "find <pattern>",
  // "close <pattern>", "create P", "close-file P", "remove P", "print <text>", "status <text>",
  // "error <text>". Failures give "not found", "access denied" (unlistable
  // folders, refused writes and creates) or "I/O error" (listings that fail
  // part-way, full result files) as their reason.
  // "table <root>" (a file table opened), "enter <folder>" (a table folder reached).
  const std::vector<std::string>& log() const { return log_; }
  // The log lines that start with `verb` and a blank, without the verb.
  std::vector<std::string> logOf(const std::string& verb) const;
  const std::string& console() const { return console_; }  // bytes, CRLF line ends
  const std::string& errors() const { return errors_; }    // standard error's lines, as written
  const std::vector<std::wstring>& consoleWrites() const { return consoleWrites_; }
  struct StatusWrite {
    uint64_t clock;  // the clock's reading at the time
    std::wstring text;
  };
  const std::vector<StatusWrite>& statusWrites() const { return statusWrites_; }
  std::vector<std::wstring> createdFiles() const { return created_; }
  std::string contentOf(const std::wstring& path) const;  // bytes, CRLF line ends
  std::optional<uint32_t> attributesOf(const std::wstring& path) const;
  int tickReads() const { return tickReads_; }
  int folderReads() const { return folderReads_; }
  int driveListReads() const { return driveListReads_; }

  // --- Platform
  uint32_t getFileAttributes(const std::wstring& path) override;
  bool setFileAttributes(const std::wstring& path, uint32_t attributes) override;
  std::unique_ptr<DirectorySearch> findFirstFile(const std::wstring& pattern,
                                                 FindEntry& first) override;
  std::vector<std::wstring> logicalDriveStrings() override;
  unsigned getDriveType(const std::wstring& root) override;
  std::optional<std::wstring> volumeName(const std::wstring& root) override;
  std::optional<std::wstring> substitutedFolder(const std::wstring& root) override;
  std::optional<std::wstring> commonAppDataFolder() override;
  uint32_t tickCount() override;
  uint64_t monotonicMilliseconds() override;
  bool stopRequested() override;
  wchar_t separator() const override { return L'\\'; }
  bool separatorBeforeEntry(std::wstring_view folder) const override;
  std::wstring lastError() override { return lastError_; }
  bool keepsAttributeWords(const std::wstring& path) override;
  std::wstring makeFolderCommand(const std::wstring& folder) override { return makeToolFolderCommand(folder); }
  void writeError(std::wstring_view text) override;
  void writeConsole(std::wstring_view text) override;
  bool consoleIsTerminal() override { return consoleTerminal_; }
  TerminalFacts statusTerminal() override { return terminal_; }
  unsigned statusWidth() override { return columns_; }
  void writeStatus(std::wstring_view text) override;
  std::unique_ptr<ResultFile> createResultFile(const std::wstring& path,
                                               CreateFailure& failure) override;
  std::wstring resultFolderWarning() override { return std::exchange(folderWarning_, {}); }
  std::unique_ptr<RawVolume> openRawVolume(const std::wstring& root, std::wstring& why) override;
  bool enterTableFolder(const std::wstring& path, const std::vector<TableStep>& steps) override;

  // The map key of a path: "C:" is the drive's root, one trailing backslash
  // is dropped except after a drive's colon.
  static std::wstring keyOf(std::wstring path);

  // Used by the search and result file objects.
  void record(const std::string& verb, std::wstring_view text);
  void noteError(std::wstring why) { lastError_ = std::move(why); }
  bool appendToFile(const std::wstring& key, std::wstring_view text, std::optional<std::size_t> limit);
  bool removeIfEmpty(const std::wstring& key);

 private:
  struct Node {
    uint32_t attributes = 0;
    std::vector<std::wstring> children;  // names, in listing order
    bool unlistable = false;
    std::optional<std::size_t> listLimit;
    bool vanishing = false;
    bool refuseSet = false;
    bool nameSurrogate = true;
    bool foreignOwner = false;
    AccessList access;
    std::string content;
  };

  // The map key of `path`, drive-relative forms resolved against the
  // drive's current folder.
  std::wstring resolvedKey(const std::wstring& path) const;

  Node& ensure(const std::wstring& path, uint32_t attributes);
  // The verdict on the tool folder a result file at `key` would go in.
  CreateFailure judgeFolderOf(const std::wstring& key) const;
  Node* find(const std::wstring& path);
  const Node* find(const std::wstring& path) const;

  std::map<std::wstring, Node> nodes_;
  std::vector<std::pair<std::wstring, unsigned>> drives_;
  bool driveListUnreadable_ = false;
  std::map<std::wstring, std::wstring> volumes_;
  std::map<std::wstring, std::wstring> substitutes_;
  std::map<std::wstring, std::wstring> driveFolders_;
  std::wstring folderWarning_;
  std::vector<std::optional<std::wstring>> folders_;
  std::vector<uint32_t> ticks_;
  std::vector<std::pair<std::wstring, CreateFailure>> refusedCreates_;
  bool elevated_ = false;
  uint64_t clock_ = 0;
  uint64_t clockStep_ = 0;
  std::function<bool()> stopWhen_;
  std::optional<std::size_t> writeLimit_;
  TerminalFacts terminal_;
  bool consoleTerminal_ = false;
  unsigned columns_ = 0;
  std::vector<StatusWrite> statusWrites_;

  std::map<std::wstring, Table> tables_;
  std::vector<std::wstring> refusedTableFolders_;
  std::vector<std::wstring> offVolume_;
  std::wstring lastError_;

  std::vector<std::string> log_;
  std::string console_;
  std::string errors_;
  std::vector<std::wstring> consoleWrites_;
  std::vector<std::wstring> created_;
  int tickReads_ = 0;
  int folderReads_ = 0;
  int driveListReads_ = 0;
};

// Where the result files of a run on addSystemDrive() go.
inline const std::wstring kToolFolder = L"C:\\ProgramData\\Norvane\\Wickline\\";

// Runs the program with `args` after the program name.
int runTool(FakePlatform& platform, std::vector<std::wstring> args);

// The arguments as one line for test names: blanks between, "/" for "\\".
std::string argsForName(const std::vector<std::wstring>& args);

// `text` with each line feed written as CR LF, as the console and files show it.
std::string crlf(const std::string& text);

}  // namespace tavrin::test
