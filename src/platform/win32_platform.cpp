#include "platform/win32_platform.h"

#include <shlobj.h>

#include <algorithm>
#include <cstddef>

#include "platform/text.h"
#include "platform/win32_process.h"
#include "platform/win32_tool_folder.h"

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

void fillEntry(const WIN32_FIND_DATAW& data, FindEntry& entry) {
  entry.attributes = data.dwFileAttributes;
  entry.name.assign(data.cFileName);  // keeps the string's storage
  // The search gives a reparse point's tag in dwReserved0. A search that
  // leaves it out (0 is no tag) is taken to mean a link: never entered.
  entry.nameSurrogate = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
                        (data.dwReserved0 == 0 || IsReparseTagNameSurrogate(data.dwReserved0));
}

class Win32DirectorySearch final : public DirectorySearch {
 public:
  Win32DirectorySearch(HANDLE handle, LiteralPaths& paths) : handle_(handle), paths_(paths) {
    paths_.opened(this);
  }
  ~Win32DirectorySearch() override { paths_.closed(this); }
  Win32DirectorySearch(const Win32DirectorySearch&) = delete;
  Win32DirectorySearch& operator=(const Win32DirectorySearch&) = delete;

  bool next(FindEntry& entry) override {
    if (!FindNextFileW(handle_.get(), &data_)) return false;
    fillEntry(data_, entry);
    return true;
  }

 private:
  FindHandle handle_;
  LiteralPaths& paths_;
  WIN32_FIND_DATAW data_{};
};

class Win32ResultFile final : public ResultFile {
 public:
  explicit Win32ResultFile(HANDLE handle) : handle_(handle) {}

  bool write(std::wstring_view text) override {
    bytes_.clear();
    appendBytes(bytes_, text, true);
    if (writeAll(handle_.get(), bytes_)) {
      size_ += static_cast<LONGLONG>(bytes_.size());
      return true;
    }
    // Whatever part went out is taken back: the file ends with a whole record.
    LARGE_INTEGER end{};
    end.QuadPart = size_;
    if (SetFilePointerEx(handle_.get(), end, nullptr, FILE_BEGIN)) SetEndOfFile(handle_.get());
    return false;
  }

 private:
  FileHandle handle_;
  std::string bytes_;  // reused for every write
  LONGLONG size_ = 0;  // what the file holds of whole writes
};

}  // namespace

Win32Platform::Win32Platform() : output_(usableStandardOutput()), isConsole_(false) {
  DWORD mode = 0;
  isConsole_ = output_ != nullptr && GetConsoleMode(output_, &mode) != 0;
}

Win32Platform::~Win32Platform() { flushConsole(); }

uint32_t Win32Platform::getFileAttributes(const std::wstring& path) {
  const wchar_t* name = paths_.of(path);
  return name ? GetFileAttributesW(name) : INVALID_FILE_ATTRIBUTES;
}

bool Win32Platform::setFileAttributes(const std::wstring& path, uint32_t attributes) {
  const wchar_t* name = paths_.of(path);
  return name && SetFileAttributesW(name, attributes) != 0;
}

std::unique_ptr<DirectorySearch> Win32Platform::findFirstFile(const std::wstring& pattern,
                                                               FindEntry& first) {
  WIN32_FIND_DATAW data{};
  const wchar_t* open = paths_.listingPattern(pattern);
  // The basic level leaves out the short names, which the walk never uses.
  HANDLE handle = open ? FindFirstFileExW(open, FindExInfoBasic, &data, FindExSearchNameMatch,
                                          nullptr, FIND_FIRST_EX_LARGE_FETCH)
                       : INVALID_HANDLE_VALUE;
  if (handle == INVALID_HANDLE_VALUE) {
    if (!open) SetLastError(ERROR_FILENAME_EXCED_RANGE);
    // An empty drive root has no entries at all; anything else is a failure.
    first.attributes = GetLastError() == ERROR_FILE_NOT_FOUND ? 0 : INVALID_FILE_ATTRIBUTES;
    return nullptr;
  }
  auto search = std::make_unique<Win32DirectorySearch>(handle, paths_);
  fillEntry(data, first);
  return search;
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

void Win32Platform::flushConsole() {
  if (pending_.empty()) return;
  writeAll(output_, pending_);  // nowhere left to report a failure
  pending_.clear();
}

std::unique_ptr<ResultFile> Win32Platform::createResultFile(const std::wstring& path,
                                                           CreateFailure& failure) {
  HANDLE handle = createResultHandle(path, failure);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  return std::make_unique<Win32ResultFile>(handle);
}

std::unique_ptr<Platform> createNativePlatform() { return std::make_unique<Win32Platform>(); }

}  // namespace tavrin
