// The platform of the Linux program: POSIX calls on mounted NTFS volumes.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/posix_fd.h"
#include "platform/posix/posix_mounts.h"
#include "platform/text.h"

namespace tavrin {

// Where the system describes its mounts and disks; tests point these at
// files of their own.
struct PosixSystemFiles {
  std::string mountInfo = "/proc/self/mountinfo";
  std::string sysfs = "/sys";
  // Off: mount points inside a tree are found from mountInfo alone, as on
  // kernels whose statx does not mark mount roots.
  bool kernelMarksMountRoots = true;
  // The most folders of the walk kept open at once; 0: as many as the
  // descriptor limit leaves room for.
  size_t heldFolders = 0;
  // Off: every root is walked, its volume's file table never read (the
  // test build that checks the table against the walk).
  bool readTables = true;
};

class PosixPlatform final : public Platform {
 public:
  explicit PosixPlatform(PosixSystemFiles files = {}, int consoleFd = 1);
  // Hands the console text still buffered to the output.
  ~PosixPlatform() override;
  PosixPlatform(const PosixPlatform&) = delete;
  PosixPlatform& operator=(const PosixPlatform&) = delete;

  uint32_t getFileAttributes(const std::wstring& path) override;
  bool setFileAttributes(const std::wstring& path, uint32_t attributes) override;
  std::unique_ptr<DirectorySearch> findFirstFile(const std::wstring& pattern,
                                                  FindEntry& first) override;
  std::vector<std::wstring> logicalDriveStrings() override;
  unsigned getDriveType(const std::wstring& root) override;
  std::optional<std::wstring> commonAppDataFolder() override;
  uint32_t tickCount() override;
  uint64_t monotonicMilliseconds() override;
  bool stopRequested() override;
  wchar_t separator() const override { return L'/'; }
  std::wstring lastError() override;
  bool keepsAttributeWords(const std::wstring& path) override;
  std::wstring noVolumesMessage() override;
  std::wstring makeFolderCommand(const std::wstring& folder) override;
  void writeError(std::wstring_view text) override;
  void writeConsole(std::wstring_view text) override;
  bool consoleIsTerminal() override { return consoleIsTerminal_; }
  // Standard error as a terminal: posix_terminal.cpp.
  TerminalFacts statusTerminal() override;
  unsigned statusWidth() override;
  void writeStatus(std::wstring_view text) override;
  std::thread startThread(std::function<void()> work) override;
  std::unique_ptr<ResultFile> createResultFile(const std::wstring& path,
                                               CreateFailure& failure) override;
  // Reading the file table: posix_table.cpp.
  std::unique_ptr<RawVolume> openRawVolume(const std::wstring& root, std::wstring& why) override;
  bool enterTableFolder(const std::wstring& path, const std::vector<TableStep>& steps) override;
  void leaveTableFolders() override;

 private:
  // A folder of the tree whose table is being read, opened from the root.
  struct TableLevel {
    std::string directory;  // ends with "/"
    uint64_t record;
    UniqueFd fd;  // closed for middle levels of a deep tree
  };
  static constexpr size_t KEPT_TABLE_LEVELS = 32;
  bool tableEntry(const std::string& path, int& folder, std::string_view& name) const;

  // A directory being listed (walked), and whether its file system keeps
  // NTFS words at all. The walk reads the word of each of its files next.
  struct Listing {
    const void* search;
    std::string directory;  // ends with "/"
    bool ntfsWords;
    dev_t device;
    ino_t inode;
    // The open directory: always the innermost listing's; an outer one's
    // while the budget of descriptors allows, else reopened through ".." of
    // the folder inside it when that one ends.
    UniqueFd folder;
    // The directory could not be reached again as itself (moved or replaced
    // meanwhile): the rest of its listing is given up.
    bool lost = false;
  };
  friend class PosixDirectorySearch;

  struct Volume {
    std::wstring root;  // the mount point with a trailing "/"
    MountEntry mount;
  };

  // `path` as the system's bytes, in a buffer reused per call. Here, not in
  // a source file, so the table's file needs nothing from the others.
  const std::string& bytesOf(const std::wstring& path) {
    pathBytes_.clear();
    appendBytes(pathBytes_, path);
    return pathBytes_;
  }
  // How a path handed in by the core is reached.
  struct Reach {
    std::string_view name;  // the entry's name in the innermost listing's folder
    bool byPath = false;    // not inside the walk: a root, by its path
  };
  Reach reach(const std::string& path) const;
  UniqueFd openListedFolder(std::string& directory);
  int currentFolder() const;
  bool listingLost(const void* search) const;
  uint32_t listedEntryAttributes(const void* search, unsigned char type, const char* name);
  bool isMountPoint(const char* name);
  void endListing(const void* search);
  void readVolumes();
  void flushConsole();
  // Keeps `error` (an errno value) as the reason lastError() gives.
  void noteError(int error);

  PosixSystemFiles files_;
  int consoleFd_;
  bool consoleIsTerminal_;
  bool consoleClosed_ = false;  // a reader gone or a hard error: output ends
  std::string console_;    // console bytes not yet written
  std::string pathBytes_;  // the last path handed to the system, reused per call
  int lastError_ = 0;      // the errno of the last failure the core may ask about
  std::vector<Volume> volumes_;
  // Innermost last. Every entry of the innermost listing is read and
  // written through its open folder, never by path.
  std::vector<Listing> listings_;
  size_t heldFolders_;  // the most listings that keep their folder open
  // The mount points of mountInfo, read when the kernel cannot tell.
  std::optional<std::vector<std::string>> mountPoints_;
  std::vector<TableLevel> tableLevels_;  // from the root down
  dev_t tableDevice_ = 0;
};

// The root under which a mount point is walked: the mount point and "/".
std::wstring volumeRoot(const std::string& mountPoint);

}  // namespace tavrin
