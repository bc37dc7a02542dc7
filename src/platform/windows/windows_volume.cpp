#include "platform/windows/windows_volume.h"

namespace tavrin {
namespace {

// Flags NTFS keeps in the word for itself; Windows never reports them.
constexpr uint32_t INTERNAL_FLAGS = 0x10000000;  // a folder's name index
// Paths as built, without the "\\?\" prefix, are held to this many characters.
constexpr size_t PATH_LIMIT = 260;

class WindowsVolume final : public RawVolume {
 public:
  WindowsVolume(std::unique_ptr<VolumeBytes> bytes, std::unique_ptr<ChangeJournal> journal)
      : bytes_(std::move(bytes)), journal_(std::move(journal)) {}
  bool read(uint64_t offset, size_t length, uint8_t* into) override {
    return bytes_->read(offset, length, into);
  }
  uint32_t reportedWord(uint32_t stored, bool directory) const override {
    return windowsReportedWord(stored, directory);
  }
  // A live volume changes while its table is read, and what changed may
  // not even be on the disk yet: the journal names every folder it touched.
  bool changedFolders(std::vector<uint64_t>& folders) override {
    return !journal_ || journal_->changedFolders(folders);
  }

 private:
  std::unique_ptr<VolumeBytes> bytes_;
  std::unique_ptr<ChangeJournal> journal_;
};

uint64_t u64At(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

// What the system puts before the paths built from `root` when it measures
// them: the current folder for a relative root, and for a bare drive ("C:")
// its current folder and the separator that the built paths leave out.
size_t pathPrefix(const std::wstring& root, const std::wstring& full) {
  if (full.size() <= root.size()) return 0;
  const bool bareDrive = root.size() == 2 && root[1] == L':';
  return full.size() - root.size() + (bareDrive && full.back() != L'\\' ? 1 : 0);
}

}  // namespace

uint32_t windowsReportedWord(uint32_t stored, bool directory) {
  uint32_t word = stored & ~INTERNAL_FLAGS;
  if (directory) word |= FILE_ATTRIBUTE_DIRECTORY;
  return word == 0 ? FILE_ATTRIBUTE_NORMAL : word;
}

bool parseJournalRecords(const uint8_t* data, size_t size, std::vector<uint64_t>& folders, int64_t& next) {
  if (size < 8) return false;
  next = static_cast<int64_t>(u64At(data));
  for (size_t at = 8; at < size;) {
    if (size - at < 8) return false;
    const uint32_t length = static_cast<uint32_t>(u64At(data + at) & 0xFFFFFFFF);
    const uint16_t version = static_cast<uint16_t>(data[at + 4] | data[at + 5] << 8);
    if (length < 8 || length % 8 != 0 || length > size - at) return false;
    // Version 2: 64-bit references, the parent's at 16; 3 and 4: 128-bit
    // ones, the parent's at 24, its low half the NTFS reference.
    const size_t parent = version == 2 ? 16 : 24;
    if ((version < 2 || version > 4) || length < parent + 8) return false;
    folders.push_back(u64At(data + at + parent) & 0xFFFFFFFFFFFFull);
    at += length;
  }
  return true;
}

std::unique_ptr<RawVolume> openWindowsVolume(VolumeAccess& access, const std::wstring& root,
                                             std::wstring& why) {
  const std::optional<std::wstring> volume = access.ntfsVolumeOf(root);
  if (!volume) return nullptr;
  if (!access.elevated()) {
    why = L"the volume can be read directly only by an elevated run";
    return nullptr;
  }
  // Opened before the flush: every change from here on is named by it.
  std::unique_ptr<ChangeJournal> journal = access.openJournal(*volume);
  if (!access.flush(*volume)) {
    why = L"the system did not write its changes to " + *volume;
    return nullptr;
  }
  std::unique_ptr<VolumeBytes> bytes = access.openForReading(*volume);
  const std::optional<uint64_t> record = bytes ? access.recordOf(root) : std::nullopt;
  if (!bytes || !record) {
    why = L"no read access to " + *volume;
    return nullptr;
  }
  auto raw = std::make_unique<WindowsVolume>(std::move(bytes), std::move(journal));
  raw->order = ListingOrder::Collation;
  raw->rootRecord = *record;
  raw->checkFolders = true;
  raw->filePathLimit = root.starts_with(L"\\\\?\\") ? 0 : PATH_LIMIT;
  raw->pathPrefix = pathPrefix(root, access.fullPath(root));
  raw->memoryBudget = access.memoryBudget();
  return raw;
}

}  // namespace tavrin
