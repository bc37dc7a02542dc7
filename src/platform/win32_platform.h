// The platform of tavrin.exe: Win32 calls, wide characters throughout.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/win32_terminal.h"
#include "platform/win32_literal_paths.h"

namespace tavrin {

// Owns a handle that `Closer` releases; the invalid value is never closed.
template <typename Closer>
class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ~ScopedHandle() {
    if (handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr) Closer{}(handle_);
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;

  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

struct CloseFile {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
struct CloseFind {
  void operator()(HANDLE handle) const { FindClose(handle); }
};
using FileHandle = ScopedHandle<CloseFile>;
using FindHandle = ScopedHandle<CloseFind>;

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
  std::wstring lastError() override;
  std::wstring makeFolderCommand(const std::wstring& folder) override;
  void writeError(std::wstring_view text) override;
  void writeConsole(std::wstring_view text) override;
  // Standard error as a console: win32_terminal.cpp.
  TerminalFacts statusTerminal() override;
  unsigned statusWidth() override;
  void writeStatus(std::wstring_view text) override;
  std::unique_ptr<ResultFile> createResultFile(const std::wstring& path,
                                               CreateFailure& failure) override;
  // Reading the file table: win32_table.cpp.
  std::unique_ptr<RawVolume> openRawVolume(const std::wstring& root, std::wstring& why) override;
  bool enterTableFolder(const std::wstring& path, const std::vector<TableStep>& steps) override;
  void leaveTableFolders() override;

 private:
  void flushConsole();

  HANDLE output_;        // standard output; not ours to close
  bool isConsole_;       // a real console: wide text goes to it unconverted
  std::string pending_;  // redirected output not yet written
  Win32Terminal terminal_;  // restores the console's mode when the platform goes
  LiteralPaths paths_;   // how Win32 is to be given the walk's paths
  std::vector<char> tableListings_;  // stand for the table's folders as open listings
  size_t tableDepth_ = 0;            // how many of them are open
  DWORD lastError_ = 0;  // the error code of the last failure the core may ask about
};

}  // namespace tavrin
