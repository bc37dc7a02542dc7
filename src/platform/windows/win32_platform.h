// The platform of tavrin.exe: Win32 calls, wide characters throughout.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/windows/win32_folders.h"
#include "platform/windows/win32_handle.h"
#include "platform/windows/win32_terminal.h"

namespace tavrin {

// A folder open for the walk: its handle, and how the paths of its entries
// are given to Win32. While it is open the platform reaches its entries
// through the handle.
class OpenFolder {
 public:
  OpenFolder(HANDLE handle, FolderPath path) : handle_(handle), path_(std::move(path)) {}
  virtual ~OpenFolder() = default;
  OpenFolder(const OpenFolder&) = delete;
  OpenFolder& operator=(const OpenFolder&) = delete;

  HANDLE handle() const { return handle_.get(); }
  const FolderPath& path() const { return path_; }
  // The file ID a listing of this folder gave its folder `name`; 0 when it
  // is not known.
  virtual int64_t listedId(std::wstring_view /*name*/) const { return 0; }

 private:
  FileHandle handle_;
  FolderPath path_;
};

// A failure in the few words messages use ("not found", "access denied");
// the system's own text for the rest.
std::wstring errorText(DWORD error);

// Why a folder met in the walk was not listed: the one opened by its name
// is not the one the listing showed (a junction or another folder now stands
// in its place). An application's own code, as the system sets them apart.
inline constexpr DWORD kErrorFolderReplaced = 0x20000001;

class Win32Platform final : public Platform {
 public:
  Win32Platform();
  // Hands the console text still buffered to the redirected output.
  ~Win32Platform() override;
  Win32Platform(const Win32Platform&) = delete;
  Win32Platform& operator=(const Win32Platform&) = delete;

  uint32_t getFileAttributes(const std::wstring& path) override;
  bool setFileAttributes(const std::wstring& path, uint32_t attributes) override;
  std::unique_ptr<DirectorySearch> findFirstFile(const std::wstring& pattern,
                                                  FindEntry& first) override;
  std::vector<std::wstring> logicalDriveStrings() override;
  unsigned getDriveType(const std::wstring& root) override;
  std::optional<std::wstring> volumeName(const std::wstring& root) override;          // win32_drives
  std::optional<std::wstring> substitutedFolder(const std::wstring& root) override;   // win32_drives
  std::optional<std::wstring> commonAppDataFolder() override;
  uint32_t tickCount() override;
  uint64_t monotonicMilliseconds() override;
  bool stopRequested() override;
  wchar_t separator() const override { return L'\\'; }
  bool separatorBeforeEntry(std::wstring_view folder) const override;
  std::wstring lastError() override;
  std::wstring makeFolderCommand(const std::wstring& folder) override;
  void writeError(std::wstring_view text) override;
  void writeConsole(std::wstring_view text) override;
  bool consoleIsTerminal() override { return isConsole_; }
  // Standard error as a console, through Win32Terminal.
  TerminalFacts statusTerminal() override;
  unsigned statusWidth() override;
  void writeStatus(std::wstring_view text) override;
  std::unique_ptr<ResultFile> createResultFile(const std::wstring& path,
                                               CreateFailure& failure) override;
  std::wstring resultFolderWarning() override;
  // Reading the file table: win32_table.cpp.
  std::unique_ptr<RawVolume> openRawVolume(const std::wstring& root, std::wstring& why) override;
  bool enterTableFolder(const std::wstring& path, const std::vector<TableStep>& steps) override;
  void leaveTableFolders() override;

  // Each open folder registers itself while it is open.
  void opened(OpenFolder* folder) { folders_.push_back(folder); }
  void closed(OpenFolder* folder);
  void noteError(DWORD error) { lastError_ = error; }

 private:
  // What Win32 is to be given for a path named on the command line.
  struct Root {
    std::wstring typed;
    std::wstring name;  // the literal form when that names an entry, else `typed`
    FolderPath folder;  // for a listing of it; `shown` left empty
  };
  const Root& root(const std::wstring& typed);
  // The innermost open folder, when `path` is one of its entries.
  OpenFolder* folderOf(const std::wstring& path, std::wstring_view& name);
  uint32_t readEntry(OpenFolder& folder, std::wstring_view name);
  uint32_t readRoot(const std::wstring& name);
  // A folder met in a walk, opened through `parent` as itself; null with
  // lastError_ set when it is not the folder `listedId` names (0: any).
  HANDLE openChild(OpenFolder& parent, std::wstring_view name, int64_t listedId);
  // A folder named on the command line (`shown`, with its separator),
  // opened by its name: a link is followed.
  HANDLE openRoot(const std::wstring& shown, FolderPath& path);
  std::unique_ptr<DirectorySearch> startListing(HANDLE folder, FolderPath path, FindEntry& first);
  void flushConsole();

  HANDLE output_;        // standard output; not ours to close
  bool isConsole_;       // a real console: wide text goes to it unconverted
  std::string pending_;  // redirected output not yet written
  Win32Terminal terminal_;  // restores the console's mode when the platform goes
  // Wine 8 answers every NtQueryAttributesFile relative to a folder handle
  // with "not found"; there words are read by their literal path.
  bool relativeQueries_;
  std::vector<OpenFolder*> folders_;  // open, innermost last
  Root root_;            // the root last asked about
  std::wstring literal_;  // the literal path of the entry being read
  std::wstring warning_;  // about the folder of the result file just created
  // The folders a file-table run has entered, from its root down, and the
  // steps they were entered by.
  std::vector<std::unique_ptr<OpenFolder>> tableFolders_;
  std::vector<TableStep> tableSteps_;
  std::wstring tablePath_;
  DWORD lastError_ = 0;  // the error code of the last failure the core may ask about
};

}  // namespace tavrin
