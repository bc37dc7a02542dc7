#include "platform/windows/win32_platform.h"

#include <shlobj.h>

#include <algorithm>
#include <cstddef>
#include <utility>

#include "platform/text.h"
#include "platform/tool_folder.h"
#include "platform/windows/win32_process.h"
#include "platform/windows/win32_tool_folder.h"
#include "screen_text.h"

namespace tavrin {
namespace {

// Redirected console text is written in blocks of about this size.
constexpr std::size_t kConsoleFlushBytes = 64 * 1024;
// WriteConsoleW is given at most this many characters at once.
constexpr std::size_t kConsoleChunkChars = 16 * 1024;
// WriteFile is given at most this many bytes at once (its count is a DWORD).
constexpr std::size_t kFileChunkBytes = 1 << 30;

// Writes all of `bytes` to `handle`, however many calls that takes.
bool writeAll(HANDLE handle, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min(bytes.size() - done, kFileChunkBytes));
    DWORD written = 0;
    if (!WriteFile(handle, bytes.data() + done, chunk, &written, nullptr) || written == 0) {
      return false;
    }
    done += written;
  }
  return true;
}

}  // namespace

// A failure in the few words messages use; the system's own for the rest.
std::wstring errorText(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
    case ERROR_INVALID_DRIVE:
      return L"not found";
    case ERROR_ACCESS_DENIED:
      return L"access denied";
    case ERROR_IO_DEVICE:
    case ERROR_CRC:
    case ERROR_FILE_CORRUPT:
    case ERROR_DISK_CORRUPT:
      return L"I/O error";
    case ERROR_FILENAME_EXCED_RANGE:
      return L"the path is too long";
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return L"no space left on the disk";
    case ERROR_SHARING_VIOLATION:
      return L"in use by another program";
    case ERROR_NOT_READY:
      return L"the drive is not ready";
    case kErrorFolderReplaced:
      return L"it was replaced during the run (by a link or another folder)";
    default:
      break;
  }
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring out = length > 0 && text ? std::wstring(text, length) : std::wstring();
  if (text) LocalFree(text);
  while (!out.empty() && (out.back() == L'\n' || out.back() == L'\r' || out.back() == L'.' || out.back() == L' ')) {
    out.pop_back();
  }
  if (out.empty()) return L"error " + std::to_wstring(error);
  if (out[0] >= L'A' && out[0] <= L'Z') out[0] = static_cast<wchar_t>(out[0] - L'A' + L'a');
  return out;
}

namespace {

class Win32ResultFile final : public ResultFile {
 public:
  Win32ResultFile(HANDLE handle, std::wstring path) : handle_(handle), path_(std::move(path)) {}

  bool write(std::wstring_view text) override {
    bytes_.clear();
    appendBytes(bytes_, text, true);
    if (writeAll(handle_.get(), bytes_)) {
      size_ += static_cast<LONGLONG>(bytes_.size());
      return true;
    }
    error_ = GetLastError();
    // Whatever part went out is taken back: the file ends with a whole record.
    LARGE_INTEGER end{};
    end.QuadPart = size_;
    if (SetFilePointerEx(handle_.get(), end, nullptr, FILE_BEGIN)) SetEndOfFile(handle_.get());
    return false;
  }

  std::wstring error() const override { return errorText(error_); }

  // The handle shares no deletion with readers, so the name is opened anew
  // once it is closed, and must lead to the same, still empty, file.
  bool removeIfEmpty() override {
    BY_HANDLE_FILE_INFORMATION own{};
    const bool empty = GetFileInformationByHandle(handle_.get(), &own) && own.nFileSizeHigh == 0 &&
                       own.nFileSizeLow == 0;
    CloseHandle(handle_.release());
    if (!empty) return false;
    const FileHandle named(CreateFileW(path_.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION now{};
    if (named.get() == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(named.get(), &now)) return false;
    if (now.dwVolumeSerialNumber != own.dwVolumeSerialNumber || now.nFileIndexHigh != own.nFileIndexHigh ||
        now.nFileIndexLow != own.nFileIndexLow || now.nFileSizeHigh != 0 || now.nFileSizeLow != 0) {
      return false;
    }
    FILE_DISPOSITION_INFO dispose{};
    dispose.DeleteFile = TRUE;
    return SetFileInformationByHandle(named.get(), FileDispositionInfo, &dispose, sizeof dispose) != 0;
  }

 private:
  FileHandle handle_;
  std::wstring path_;
  std::string bytes_;  // reused for every write
  LONGLONG size_ = 0;  // what the file holds of whole writes
  DWORD error_ = 0;
};

}  // namespace

Win32Platform::Win32Platform()
    : output_(usableStandardOutput()), isConsole_(false), relativeQueries_(!runningUnderWine()) {
  DWORD mode = 0;
  isConsole_ = output_ != nullptr && GetConsoleMode(output_, &mode) != 0;
}

Win32Platform::~Win32Platform() { flushConsole(); }

std::wstring Win32Platform::lastError() { return errorText(lastError_); }

std::wstring Win32Platform::makeFolderCommand(const std::wstring& folder) {
  return makeToolFolderCommand(folder);
}

std::vector<std::wstring> Win32Platform::logicalDriveStrings() {
  std::vector<std::wstring> roots;
  std::wstring buffer;
  // The count asked for is the room without the closing terminator; a drive
  // added between two calls makes the answer larger than the room: try again.
  DWORD room = GetLogicalDriveStringsW(0, nullptr);
  for (;;) {
    if (room == 0) return roots;
    buffer.assign(static_cast<std::size_t>(room) + 1, L'\0');
    const DWORD length = GetLogicalDriveStringsW(room, buffer.data());
    if (length == 0) return roots;
    if (length <= room) {
      buffer.resize(length);
      break;
    }
    room = length;
  }
  std::size_t start = 0;
  while (start < buffer.size() && buffer[start] != L'\0') {
    std::size_t end = buffer.find(L'\0', start);
    if (end == std::wstring::npos) end = buffer.size();
    roots.emplace_back(buffer, start, end - start);
    start = end + 1;
  }
  return roots;
}

unsigned Win32Platform::getDriveType(const std::wstring& root) {
  return GetDriveTypeW(root.c_str());
}

std::optional<std::wstring> Win32Platform::commonAppDataFolder() {
  wchar_t folder[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder))) {
    return std::nullopt;
  }
  return std::wstring(folder);
}

uint32_t Win32Platform::tickCount() { return GetTickCount(); }

uint64_t Win32Platform::monotonicMilliseconds() { return GetTickCount64(); }

bool Win32Platform::stopRequested() { return stopEventCame(); }

void Win32Platform::writeConsole(std::wstring_view text) {
  if (output_ == INVALID_HANDLE_VALUE || output_ == nullptr) return;
  if (!isConsole_) {
    appendBytes(pending_, text, true);
    if (pending_.size() >= kConsoleFlushBytes) flushConsole();
    return;
  }
  // A name must not steer the console it is shown on.
  const std::wstring shown = forTerminal(text);
  text = shown;
  while (!text.empty()) {
    std::size_t count = std::min(text.size(), kConsoleChunkChars);
    // Keep a surrogate pair within one call.
    if (count < text.size() && text[count - 1] >= 0xD800 && text[count - 1] <= 0xDBFF) --count;
    DWORD written = 0;
    if (!WriteConsoleW(output_, text.data(), static_cast<DWORD>(count), &written, nullptr) ||
        written == 0) {
      return;
    }
    text.remove_prefix(std::min<std::size_t>(written, text.size()));
  }
}

// Standard error as a console takes wide text; redirected it gets UTF-8
// with CRLF line ends, as the console text does. Console text buffered so
// far goes first, so a reader of both streams together sees the error where
// it happened.
void Win32Platform::writeError(std::wstring_view text) {
  flushConsole();
  HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  if (error == INVALID_HANDLE_VALUE || error == nullptr) return;
  DWORD mode = 0;
  if (GetConsoleMode(error, &mode)) {
    terminal_.write(forTerminal(text));
    return;
  }
  std::string bytes;
  appendBytes(bytes, text, true);
  writeAll(error, bytes);
}

void Win32Platform::flushConsole() {
  if (pending_.empty()) return;
  writeAll(output_, pending_);  // nowhere left to report a failure
  pending_.clear();
}

std::unique_ptr<ResultFile> Win32Platform::createResultFile(const std::wstring& path,
                                                           CreateFailure& failure) {
  HANDLE handle = createResultHandle(path, failure, warning_);
  if (handle == INVALID_HANDLE_VALUE) {
    lastError_ = GetLastError();
    return nullptr;
  }
  return std::make_unique<Win32ResultFile>(handle, path);
}

std::wstring Win32Platform::resultFolderWarning() { return std::exchange(warning_, {}); }

// Standard error as a console: Win32Terminal.
TerminalFacts Win32Platform::statusTerminal() { return terminal_.facts(); }

unsigned Win32Platform::statusWidth() { return terminal_.width(); }

void Win32Platform::writeStatus(std::wstring_view text) { terminal_.write(text); }

std::unique_ptr<Platform> createNativePlatform() { return std::make_unique<Win32Platform>(); }

}  // namespace tavrin
