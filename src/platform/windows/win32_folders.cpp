#include "platform/windows/win32_folders.h"

#include "platform/windows/win32_nt.h"

namespace tavrin {
namespace {

// A batch of entries: as much as a search with the large fetch reads.
constexpr std::size_t kBatchBytes = 64 * 1024;

}  // namespace

FolderReader::FolderReader(HANDLE folder, std::wstring_view name)
    : folder_(folder), name_(name), buffer_(kBatchBytes / sizeof(uint64_t)) {}

bool FolderReader::failed() const {
  return status_ < 0 && status_ != nt::kNoMoreFiles && status_ != nt::kNoSuchFile;
}

bool FolderReader::fill() {
  IO_STATUS_BLOCK io{};
  UNICODE_STRING mask = nt::countedString(name_);
  status_ = nt::calls().queryDirectoryFile(
      folder_, nullptr, nullptr, nullptr, &io, buffer_.data(),
      static_cast<ULONG>(buffer_.size() * sizeof(uint64_t)), nt::kFileIdFullDirectoryInformation,
      FALSE, first_ && !name_.empty() ? &mask : nullptr, first_);
  first_ = false;
  // STATUS_NO_MORE_FILES is a warning, not a failure, but brings no entry.
  filled_ = status_ >= 0 && status_ != nt::kNoMoreFiles && io.Information > 0;
  offset_ = 0;
  if (status_ >= 0 && !filled_) status_ = nt::kNoMoreFiles;
  return filled_;
}

bool FolderReader::next(ListedEntry& entry) {
  if (!filled_ && !fill()) return false;
  const auto* bytes = reinterpret_cast<const unsigned char*>(buffer_.data());
  const auto* record = reinterpret_cast<const nt::IdFullDirInformation*>(bytes + offset_);
  entry.attributes = record->fileAttributes;
  entry.reparseTag = (record->fileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? record->eaSize : 0;
  entry.id = record->fileId.QuadPart;
  entry.name = std::wstring_view(record->fileName, record->fileNameLength / sizeof(wchar_t));
  if (record->nextEntryOffset == 0) {
    filled_ = false;  // the next call reads the next batch
  } else {
    offset_ += record->nextEntryOffset;
  }
  return true;
}

uint32_t wordAfterFailedRead(DWORD error, std::wstring_view name,
                             const std::function<bool(ListedEntry&)>& listing) {
  if (error != ERROR_SHARING_VIOLATION) return INVALID_FILE_ATTRIBUTES;
  ListedEntry entry;
  while (listing(entry)) {
    if (entry.name == name) return entry.attributes;
  }
  return INVALID_FILE_ATTRIBUTES;
}

std::optional<std::wstring_view> FolderPath::nameIn(std::wstring_view path) const {
  if (path.size() <= shown.size() || !path.starts_with(shown)) return std::nullopt;
  const std::wstring_view name = path.substr(shown.size());
  if (name.find(L'\\') != std::wstring_view::npos) return std::nullopt;
  return name;
}

bool FolderPath::entryTooLong(std::size_t nameLength) const {
  return limited && literal.size() + nameLength - added >= MAX_PATH;
}

bool FolderPath::patternTooLong(std::size_t nameLength) const {
  return limited && literal.size() + nameLength + 2 - added >= MAX_PATH;  // "name\*"
}

std::wstring FolderPath::literalOf(std::wstring_view name) const {
  std::wstring path;
  path.reserve(literal.size() + name.size());
  path += literal;
  path += name;
  return path;
}

FolderPath FolderPath::child(std::wstring_view name, std::wstring shownChild) const {
  FolderPath folder;
  folder.shown = std::move(shownChild);
  folder.literal = literalOf(name);
  folder.literal += L'\\';
  folder.added = added;
  folder.limited = limited;
  return folder;
}

}  // namespace tavrin
