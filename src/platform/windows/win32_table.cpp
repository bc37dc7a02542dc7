// tavrin.exe's side of reading a volume's file table: the volume device
// (\\.\C:) opened for reading by an elevated run, after the system has
// written its changes to it; the folders of the tree made known to the
// walk's open folders as its listings would be, so a file a command acts on
// is reached exactly as the walk reaches it.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/windows/win32_nt.h"
#include "platform/windows/win32_platform.h"
#include "platform/windows/win32_tool_folder.h"
#include "platform/windows/windows_volume.h"

// After <windows.h>, which the headers above bring.
#include <winioctl.h>

namespace tavrin {
namespace {

// Reads of a volume device must start and end on sector boundaries.
constexpr uint64_t SECTOR = 4096;
constexpr size_t MAX_READ = 16 << 20;

class DeviceBytes final : public VolumeBytes {
 public:
  explicit DeviceBytes(HANDLE device) : device_(device) {}

  bool read(uint64_t offset, size_t length, uint8_t* into) override {
    while (length > 0) {
      const uint64_t start = offset / SECTOR * SECTOR;
      const size_t skip = static_cast<size_t>(offset - start);
      const size_t piece = std::min(length, MAX_READ - skip);
      const size_t span = (skip + piece + SECTOR - 1) / SECTOR * SECTOR;
      buffer_.resize(span + SECTOR);
      uint8_t* aligned = buffer_.data() + (SECTOR - reinterpret_cast<uintptr_t>(buffer_.data()) % SECTOR) % SECTOR;
      OVERLAPPED at{};
      at.Offset = static_cast<DWORD>(start);
      at.OffsetHigh = static_cast<DWORD>(start >> 32);
      DWORD got = 0;
      if (!ReadFile(device_.get(), aligned, static_cast<DWORD>(span), &got, &at) || got < skip + piece) {
        return false;
      }
      std::copy_n(aligned + skip, piece, into);
      into += piece;
      offset += piece;
      length -= piece;
    }
    return true;
  }

 private:
  FileHandle device_;
  std::vector<uint8_t> buffer_;
};

// The journal's control calls, laid out as the system takes them (the
// first versions, which every NTFS version answers).
struct JournalData {
  uint64_t id;
  int64_t firstUsn, nextUsn, lowestValidUsn, maxUsn;
  uint64_t maximumSize, allocationDelta;
};
struct ReadJournalData {
  int64_t startUsn;
  uint32_t reasonMask, returnOnlyOnClose;
  uint64_t timeout, bytesToWaitFor, journalId;
};
constexpr DWORD QUERY_USN_JOURNAL = CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 61, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD READ_USN_JOURNAL = CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 46, METHOD_NEITHER, FILE_ANY_ACCESS);

class Win32Journal final : public ChangeJournal {
 public:
  static std::unique_ptr<ChangeJournal> open(const std::wstring& volume) {
    FileHandle handle(CreateFileW(volume.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    JournalData data{};
    if (handle.get() == INVALID_HANDLE_VALUE || !query(handle.get(), data)) return nullptr;
    return std::unique_ptr<ChangeJournal>(new Win32Journal(handle.release(), data));
  }

  // Every record from the position at opening up to where the journal is
  // now; a busy volume's later changes are the next run's.
  bool changedFolders(std::vector<uint64_t>& folders) override {
    JournalData now{};
    if (!query(handle_.get(), now) || now.id != start_.id || now.lowestValidUsn > start_.nextUsn) return false;
    ReadJournalData read{start_.nextUsn, 0xFFFFFFFF, 0, 0, 0, start_.id};
    std::vector<uint64_t> buffer(64 << 10 >> 3);  // 8-byte aligned, as the records are
    while (read.startUsn < now.nextUsn) {
      DWORD got = 0;
      if (!DeviceIoControl(handle_.get(), READ_USN_JOURNAL, &read, sizeof read, buffer.data(),
                           static_cast<DWORD>(buffer.size() * 8), &got, nullptr)) {
        return false;
      }
      int64_t next = 0;
      if (!parseJournalRecords(reinterpret_cast<const uint8_t*>(buffer.data()), got, folders, next)) return false;
      if (next <= read.startUsn) break;
      read.startUsn = next;
    }
    std::sort(folders.begin(), folders.end());
    folders.erase(std::unique(folders.begin(), folders.end()), folders.end());
    return true;
  }

 private:
  Win32Journal(HANDLE handle, const JournalData& start) : handle_(handle), start_(start) {}

  static bool query(HANDLE handle, JournalData& data) {
    DWORD got = 0;
    return DeviceIoControl(handle, QUERY_USN_JOURNAL, nullptr, 0, &data, sizeof data, &got, nullptr) &&
           got >= sizeof data;
  }

  FileHandle handle_;
  JournalData start_;
};

class Win32VolumeAccess final : public VolumeAccess {
 public:
  std::optional<std::wstring> ntfsVolumeOf(const std::wstring& root) override {
    wchar_t mount[MAX_PATH + 1];
    wchar_t system[MAX_PATH + 1];
    if (!GetVolumePathNameW(root.c_str(), mount, MAX_PATH) ||
        !GetVolumeInformationW(mount, nullptr, 0, nullptr, nullptr, nullptr, system, MAX_PATH) ||
        std::wstring(system) != L"NTFS") {
      return std::nullopt;
    }
    // A drive's root ("C:\") names its device \\.\C:; a volume mounted in
    // a folder is reached by its volume name.
    std::wstring path(mount);
    std::wstring volume;
    if (path.size() == 3 && path[1] == L':') {
      volume = L"\\\\.\\" + path.substr(0, 2);
    } else {
      wchar_t name[MAX_PATH + 1];
      if (!GetVolumeNameForVolumeMountPointW(mount, name, MAX_PATH)) return std::nullopt;
      volume = name;
      if (!volume.empty() && volume.back() == L'\\') volume.pop_back();
    }
    // A drive with no NTFS device behind it (a folder Wine shows as a drive)
    // has no table to read: it is walked without a word about it. Refused
    // access is for the elevation check to tell.
    HANDLE handle = CreateFileW(volume.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      if (GetLastError() == ERROR_ACCESS_DENIED) return volume;
      return std::nullopt;
    }
    DeviceBytes device(handle);
    uint8_t boot[512];
    if (!device.read(0, sizeof boot, boot) || std::memcmp(boot + 3, "NTFS    ", 8) != 0) return std::nullopt;
    return volume;
  }

  bool elevated() override { return tavrin::elevated(); }

  // FlushFileBuffers on a volume handle writes every file's changes; it
  // needs write access to the handle, which is all it is used for.
  bool flush(const std::wstring& volume) override {
    const FileHandle handle(CreateFileW(volume.c_str(), GENERIC_READ | GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                        nullptr));
    return handle.get() != INVALID_HANDLE_VALUE && FlushFileBuffers(handle.get());
  }

  std::unique_ptr<VolumeBytes> openForReading(const std::wstring& volume) override {
    HANDLE handle = CreateFileW(volume.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_unique<DeviceBytes>(handle);
  }

  std::optional<uint64_t> recordOf(const std::wstring& root) override {
    const FileHandle folder(CreateFileW(root.c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (folder.get() == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(folder.get(), &info)) {
      return std::nullopt;
    }
    // The file index is the record number and, above it, its sequence.
    return (uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow) & 0xFFFFFFFFFFFFull;
  }

  std::wstring fullPath(const std::wstring& root) override {
    const DWORD needed = GetFullPathNameW(root.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return root;
    std::wstring full(needed, L'\0');
    const DWORD written = GetFullPathNameW(root.c_str(), needed, full.data(), nullptr);
    if (written == 0 || written >= needed) return root;
    full.resize(written);
    return full;
  }

  std::unique_ptr<ChangeJournal> openJournal(const std::wstring& volume) override {
    return Win32Journal::open(volume);
  }

  // Half of what the machine has free, as on Linux.
  uint64_t memoryBudget() override {
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    if (!GlobalMemoryStatusEx(&status)) return 0;
    return std::max<uint64_t>(std::min(status.ullAvailPhys, status.ullAvailVirtual) / 2, 1);
  }
};

}  // namespace

std::unique_ptr<RawVolume> Win32Platform::openRawVolume(const std::wstring& root, std::wstring& why) {
  Win32VolumeAccess access;
  return openWindowsVolume(access, root, why);
}

namespace {

// The record of the folder open as `handle` in its volume's file table: its
// file index without the sequence number above it.
std::optional<uint64_t> recordOfHandle(HANDLE handle) {
  IO_STATUS_BLOCK io{};
  LARGE_INTEGER id{};
  if (nt::calls().queryInformationFile(handle, &io, &id, sizeof id, nt::kFileInternalInformation) < 0) {
    return std::nullopt;
  }
  return static_cast<uint64_t>(id.QuadPart) & 0xFFFFFFFFFFFFull;
}

}  // namespace

// The folders from the root down become open folders, as the walk's own
// listings would be at that point: the root by its name, each other through
// the one before it, never through a link, and each the table's record. The
// way down to the last folder entered is kept: the table's run goes depth
// first, so most calls open one folder or none.
bool Win32Platform::enterTableFolder(const std::wstring& path, const std::vector<TableStep>& steps) {
  size_t kept = 0;
  while (kept < tableFolders_.size() && kept < steps.size() &&
         steps[kept].end == tableSteps_[kept].end && steps[kept].record == tableSteps_[kept].record &&
         path.compare(0, steps[kept].end, tablePath_, 0, steps[kept].end) == 0) {
    ++kept;
  }
  while (tableFolders_.size() > kept) {
    closed(tableFolders_.back().get());
    tableFolders_.pop_back();
  }
  tableSteps_.assign(steps.begin(), steps.begin() + static_cast<std::ptrdiff_t>(kept));
  tablePath_.assign(path, 0, steps.empty() ? 0 : steps.back().end);
  for (size_t i = kept; i < steps.size(); ++i) {
    std::wstring shown = path.substr(0, steps[i].end);
    if (separatorBeforeEntry(shown)) shown += L'\\';
    FolderPath folderPath;
    HANDLE handle = nullptr;
    if (i == 0) {
      handle = openRoot(shown, folderPath);
    } else {
      OpenFolder& parent = *tableFolders_.back();
      const size_t start = parent.path().shown.size();
      const std::wstring_view name = std::wstring_view(path).substr(start, steps[i].end - start);
      handle = openChild(parent, name, 0);
      if (handle) folderPath = parent.path().child(name, std::move(shown));
    }
    if (!handle) return false;
    auto folder = std::make_unique<OpenFolder>(handle, std::move(folderPath));
    if (recordOfHandle(folder->handle()) != steps[i].record) {
      lastError_ = kErrorFolderReplaced;
      return false;
    }
    opened(folder.get());
    tableFolders_.push_back(std::move(folder));
    tableSteps_.push_back(steps[i]);
  }
  return true;
}

void Win32Platform::leaveTableFolders() {
  for (; !tableFolders_.empty(); tableFolders_.pop_back()) closed(tableFolders_.back().get());
  tableSteps_.clear();
  tablePath_.clear();
}

}  // namespace tavrin
