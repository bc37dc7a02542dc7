// The walk's reads, writes and listings. Paths named on the command line go
// to Win32 by name; everything met inside a tree is reached through the
// handle of the folder that listed it.
#include <algorithm>

#include "platform/windows/win32_nt.h"
#include "platform/windows/win32_platform.h"
#include "platform/windows/win32_root_paths.h"

namespace tavrin {

// A folder open for the walk, and its listing.
class Win32DirectorySearch final : public DirectorySearch, public OpenFolder {
 public:
  Win32DirectorySearch(Win32Platform& platform, HANDLE handle, FolderPath path)
      : OpenFolder(handle, std::move(path)), platform_(platform), reader_(handle) {
    platform_.opened(this);
  }
  ~Win32DirectorySearch() override { platform_.closed(this); }
  Win32DirectorySearch(const Win32DirectorySearch&) = delete;
  Win32DirectorySearch& operator=(const Win32DirectorySearch&) = delete;

  bool next(FindEntry& entry) override {
    ListedEntry listed;
    if (!reader_.next(listed)) {
      if (reader_.failed()) platform_.noteError(nt::errorOf(reader_.status()));
      return false;
    }
    entry.attributes = listed.attributes;
    entry.name.assign(listed.name);  // keeps the string's storage
    // A reparse point whose tag the listing leaves out (0 is no tag) is
    // taken to be a link: never entered.
    entry.nameSurrogate = (listed.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
                          (listed.reparseTag == 0 || IsReparseTagNameSurrogate(listed.reparseTag));
    if (listed.attributes & FILE_ATTRIBUTE_DIRECTORY) {
      lastFolder_.assign(listed.name);
      lastFolderId_ = listed.id;
    }
    return true;
  }

  bool failed() const override { return reader_.failed(); }

  // Known for the last folder the listing handed out: the walk enters a
  // folder as soon as it meets it.
  int64_t listedId(std::wstring_view name) const override {
    return name == lastFolder_ ? lastFolderId_ : 0;
  }

 private:
  Win32Platform& platform_;
  FolderReader reader_;
  std::wstring lastFolder_;
  int64_t lastFolderId_ = 0;
};

namespace {

// The full path Win32 makes of `path`, or nothing.
std::optional<std::wstring> win32FullPath(const std::wstring& path) {
  std::wstring full(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length == 0) return std::nullopt;
    if (length < full.size()) {
      full.resize(length);
      return full;
    }
    full.resize(length);
  }
}

// The current folder of a drive ("C:\t"), as Win32 keeps it.
std::wstring driveFolder(wchar_t drive) {
  const wchar_t bare[] = {drive, L':', L'\0'};
  return win32FullPath(bare).value_or(std::wstring{drive, L':', L'\\'});
}

bool exists(const std::wstring& name) {
  // A paging file refuses even this, but is there.
  return GetFileAttributesW(name.c_str()) != INVALID_FILE_ATTRIBUTES ||
         GetLastError() == ERROR_SHARING_VIOLATION;
}

// A listing of `name` alone in the folder open as `folder`, through a handle
// of its own: the walk's listing of that folder is under way on the other.
class NameListing {
 public:
  NameListing(HANDLE folder, std::wstring_view name) : folder_(folder), name_(name) {}

  bool operator()(ListedEntry& entry) {
    if (!reader_) {
      NTSTATUS status = 0;
      again_ = nt::openInFolder(folder_, L"", FILE_LIST_DIRECTORY, nt::kDirectoryFile, status);
      if (!again_) return false;
      reader_.emplace(again_, name_);
    }
    return reader_->next(entry);
  }

  ~NameListing() {
    if (again_) CloseHandle(again_);
  }
  NameListing(const NameListing&) = delete;
  NameListing& operator=(const NameListing&) = delete;

 private:
  HANDLE folder_;
  std::wstring_view name_;
  HANDLE again_ = nullptr;
  std::optional<FolderReader> reader_;
};

// A listing of the path `name` itself, by name.
class PathListing {
 public:
  explicit PathListing(const std::wstring& name) : name_(name) {}

  bool operator()(ListedEntry& entry) {
    if (!started_) {
      started_ = true;
      handle_ = FindFirstFileExW(name_.c_str(), FindExInfoBasic, &data_, FindExSearchNameMatch,
                                 nullptr, 0);
      if (handle_ == INVALID_HANDLE_VALUE) return false;
    } else if (handle_ == INVALID_HANDLE_VALUE || !FindNextFileW(handle_, &data_)) {
      return false;
    }
    entry.attributes = data_.dwFileAttributes;
    entry.name = data_.cFileName;
    return true;
  }

  ~PathListing() {
    if (handle_ != INVALID_HANDLE_VALUE) FindClose(handle_);
  }
  PathListing(const PathListing&) = delete;
  PathListing& operator=(const PathListing&) = delete;

 private:
  const std::wstring& name_;
  bool started_ = false;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  WIN32_FIND_DATAW data_{};
};

// The last name of a path: what a listing of the path itself shows.
std::wstring_view lastName(std::wstring_view path) {
  const std::size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring_view::npos ? path.substr(path.size() >= 2 && path[1] == L':' ? 2 : 0)
                                          : path.substr(slash + 1);
}

}  // namespace

void Win32Platform::closed(OpenFolder* folder) {
  const auto it = std::find(folders_.rbegin(), folders_.rend(), folder);
  if (it != folders_.rend()) folders_.erase(std::next(it).base());
}

// "C:" and "C:x" are relative to the current folder of drive C:, and
// their entries are "C:name".
bool Win32Platform::separatorBeforeEntry(std::wstring_view folder) const {
  const bool bareDrive = folder.size() == 2 && folder[1] == L':';
  return !bareDrive && Platform::separatorBeforeEntry(folder);
}

// A typed path names the entry a record with that path came from: the one
// named literally, when there is one; otherwise what Win32 makes of it.
const Win32Platform::Root& Win32Platform::root(const std::wstring& typed) {
  if (root_.typed == typed && !root_.name.empty()) return root_;
  root_ = Root{typed, typed, {}};
  const std::optional<std::wstring> current = win32FullPath(L".");
  const std::optional<std::wstring> full = fullPathOf(typed, current.value_or(L""), driveFolder);
  FolderPath& folder = root_.folder;
  if (typed.starts_with(L"\\\\?\\")) {
    folder.literal = typed;  // typed literally: no limit, nothing to resolve
    folder.limited = false;
  } else if (full && full->size() < MAX_PATH && exists(literalForm(*full))) {
    root_.name = literalForm(*full);
    folder.literal = root_.name;
    folder.added = literalPrefixLength(*full);
  } else if (const std::optional<std::wstring> win32 = win32FullPath(typed)) {
    folder.literal = literalForm(*win32);
    folder.added = literalPrefixLength(*win32);
  } else {
    folder.literal = typed;  // the listing fails as it always has
  }
  if (!folder.literal.empty() && folder.literal.back() != L'\\') folder.literal += L'\\';
  return root_;
}

OpenFolder* Win32Platform::folderOf(const std::wstring& path, std::wstring_view& name) {
  if (folders_.empty()) return nullptr;
  OpenFolder* folder = folders_.back();
  const std::optional<std::wstring_view> found = folder->path().nameIn(path);
  if (!found) return nullptr;
  name = *found;
  return folder;
}

uint32_t Win32Platform::readEntry(OpenFolder& listing, std::wstring_view name) {
  uint32_t word = INVALID_FILE_ATTRIBUTES;
  if (relativeQueries_) {
    UNICODE_STRING counted = nt::countedString(name);
    OBJECT_ATTRIBUTES object{};
    InitializeObjectAttributes(&object, &counted, 0, listing.handle(), nullptr);
    nt::BasicInformation basic{};
    const NTSTATUS status = nt::calls().queryAttributesFile(&object, &basic);
    if (status >= 0) return basic.fileAttributes;
    lastError_ = nt::errorOf(status);
  } else {
    literal_.assign(listing.path().literal);  // the buffer is kept: once per file
    literal_.append(name);
    word = GetFileAttributesW(literal_.c_str());
    if (word != INVALID_FILE_ATTRIBUTES) return word;
    lastError_ = GetLastError();
  }
  NameListing again(listing.handle(), name);
  return wordAfterFailedRead(lastError_, name, std::ref(again));
}

uint32_t Win32Platform::readRoot(const std::wstring& name) {
  const DWORD word = GetFileAttributesW(name.c_str());
  if (word != INVALID_FILE_ATTRIBUTES) return word;
  lastError_ = GetLastError();
  PathListing listing(name);
  return wordAfterFailedRead(lastError_, lastName(name), std::ref(listing));
}

uint32_t Win32Platform::getFileAttributes(const std::wstring& path) {
  std::wstring_view name;
  if (OpenFolder* listing = folderOf(path, name)) {
    if (listing->path().entryTooLong(name.size())) {
      lastError_ = ERROR_FILENAME_EXCED_RANGE;
      return INVALID_FILE_ATTRIBUTES;
    }
    return readEntry(*listing, name);
  }
  return readRoot(root(path).name);
}

bool Win32Platform::setFileAttributes(const std::wstring& path, uint32_t attributes) {
  std::wstring_view name;
  OpenFolder* listing = folderOf(path, name);
  if (!listing) {
    if (SetFileAttributesW(root(path).name.c_str(), attributes)) return true;
    lastError_ = GetLastError();
    return false;
  }
  if (listing->path().entryTooLong(name.size())) {
    lastError_ = ERROR_FILENAME_EXCED_RANGE;
    return false;
  }
  NTSTATUS status = 0;
  const FileHandle file(nt::openInFolder(listing->handle(), name, FILE_WRITE_ATTRIBUTES, 0, status));
  if (!file.get()) {
    lastError_ = nt::errorOf(status);
    return false;
  }
  // An attribute word of 0 would leave the word as it is; "none" is NORMAL.
  nt::BasicInformation basic{};
  basic.fileAttributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
  IO_STATUS_BLOCK io{};
  status = nt::calls().setInformationFile(file.get(), &io, &basic, sizeof basic,
                                          nt::kFileBasicInformation);
  if (status >= 0) return true;
  lastError_ = nt::errorOf(status);
  return false;
}

std::unique_ptr<DirectorySearch> Win32Platform::findFirstFile(const std::wstring& pattern,
                                                               FindEntry& first) {
  first.attributes = INVALID_FILE_ATTRIBUTES;
  std::wstring shown(pattern, 0, pattern.empty() ? 0 : pattern.size() - 1);  // without the "*"
  if (!shown.empty() && shown.back() == L'\\') {
    const std::wstring folder(shown, 0, shown.size() - 1);
    std::wstring_view name;
    if (OpenFolder* parent = folderOf(folder, name)) {
      HANDLE handle = openChild(*parent, name, parent->listedId(name));
      if (!handle) return nullptr;
      return startListing(handle, parent->path().child(name, std::move(shown)), first);
    }
  }
  FolderPath path;
  HANDLE handle = openRoot(shown, path);
  if (!handle) return nullptr;
  return startListing(handle, std::move(path), first);
}

HANDLE Win32Platform::openChild(OpenFolder& parent, std::wstring_view name, int64_t listedId) {
  if (parent.path().patternTooLong(name.size())) {
    lastError_ = ERROR_FILENAME_EXCED_RANGE;
    return nullptr;
  }
  NTSTATUS status = 0;
  FileHandle handle(nt::openInFolder(parent.handle(), name, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                     nt::kDirectoryFile, status));
  if (!handle.get()) {
    lastError_ = nt::errorOf(status);
    return nullptr;
  }
  IO_STATUS_BLOCK io{};
  nt::AttributeTagInformation tag{};
  status = nt::calls().queryInformationFile(handle.get(), &io, &tag, sizeof tag,
                                            nt::kFileAttributeTagInformation);
  if (status < 0) {
    lastError_ = nt::errorOf(status);
    return nullptr;
  }
  LARGE_INTEGER id{};
  const NTSTATUS idStatus =
      nt::calls().queryInformationFile(handle.get(), &io, &id, sizeof id, nt::kFileInternalInformation);
  const auto known = [](int64_t value) { return value != 0 && value != -1; };
  const bool link = (tag.fileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
                    IsReparseTagNameSurrogate(tag.reparseTag);
  if (link || !(tag.fileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
      (idStatus >= 0 && known(listedId) && known(id.QuadPart) && listedId != id.QuadPart)) {
    lastError_ = kErrorFolderReplaced;
    return nullptr;
  }
  return handle.release();
}

HANDLE Win32Platform::openRoot(const std::wstring& shown, FolderPath& path) {
  const Root& folder = root(shown);
  path = folder.folder;
  path.shown = shown;
  if (path.limited && path.literal.size() + 1 - path.added >= MAX_PATH) {  // "folder\*"
    lastError_ = ERROR_FILENAME_EXCED_RANGE;
    return nullptr;
  }
  HANDLE handle = CreateFileW(folder.name.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                              nt::kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    lastError_ = GetLastError();
    return nullptr;
  }
  return handle;
}

std::unique_ptr<DirectorySearch> Win32Platform::startListing(HANDLE folder, FolderPath path,
                                                             FindEntry& first) {
  auto search = std::make_unique<Win32DirectorySearch>(*this, folder, std::move(path));
  if (search->next(first)) return search;
  // An empty drive root has no entries at all; anything else is a failure.
  first.attributes = search->failed() ? INVALID_FILE_ATTRIBUTES : 0;
  return nullptr;
}

}  // namespace tavrin
