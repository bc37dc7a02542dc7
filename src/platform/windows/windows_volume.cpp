#include "platform/windows/windows_volume.h"

namespace tavrin {
namespace {

// Flags NTFS keeps in the word for itself; Windows never reports them.
constexpr uint32_t INTERNAL_FLAGS = 0x10000000;  // a folder's name index
// Paths as built, without the "\\?\" prefix, are held to this many characters.
constexpr size_t PATH_LIMIT = 260;

class WindowsVolume final : public RawVolume {
 public:
  explicit WindowsVolume(std::unique_ptr<VolumeBytes> bytes) : bytes_(std::move(bytes)) {}
  bool read(uint64_t offset, size_t length, uint8_t* into) override {
    return bytes_->read(offset, length, into);
  }
  uint32_t reportedWord(uint32_t stored, bool directory) const override {
    return windowsReportedWord(stored, directory);
  }

 private:
  std::unique_ptr<VolumeBytes> bytes_;
};

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

std::unique_ptr<RawVolume> openWindowsVolume(VolumeAccess& access, const std::wstring& root,
                                             std::wstring& why) {
  const std::optional<std::wstring> volume = access.ntfsVolumeOf(root);
  if (!volume) return nullptr;
  if (!access.elevated()) {
    why = L"the volume can be read directly only by an elevated run";
    return nullptr;
  }
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
  auto raw = std::make_unique<WindowsVolume>(std::move(bytes));
  raw->order = ListingOrder::Collation;
  raw->rootRecord = *record;
  raw->checkFolders = true;
  raw->filePathLimit = root.starts_with(L"\\\\?\\") ? 0 : PATH_LIMIT;
  raw->pathPrefix = pathPrefix(root, access.fullPath(root));
  raw->memoryBudget = access.memoryBudget();
  return raw;
}

}  // namespace tavrin
