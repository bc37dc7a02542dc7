// Small NTFS volumes made in memory for the file-table tests: a boot sector,
// a table of 4 KiB records with update sequences, folders with $I30 indexes
// laid out as the test says (root entries, index blocks, which are in use).
// Only what the reader looks at is written; every field can be spoiled.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace tavrin::test {

// A volume's bytes in memory, as the platform would hand them to the reader;
// words are reported as stored (NORMAL for 0).
class ImageVolume final : public RawVolume {
 public:
  explicit ImageVolume(const std::vector<uint8_t>& image) : image_(image) {}
  bool read(uint64_t offset, size_t length, uint8_t* into) override;
  uint32_t reportedWord(uint32_t stored, bool directory) const override;
  std::vector<ListedRecord> rootRecords() const override { return listed; }
  std::vector<ListedRecord> listed;  // what the system gives as the root's records
  bool changedFolders(std::vector<uint64_t>& folders) override {
    folders.insert(folders.end(), changed.begin(), changed.end());
    return !journalLost;
  }
  std::vector<uint64_t> changed;  // what a change journal names after the load
  bool journalLost = false;

 private:
  const std::vector<uint8_t>& image_;
};

class NtfsImage {
 public:
  static constexpr uint32_t CLUSTER = 4096;
  static constexpr uint32_t RECORD = 4096;  // as on 4K-sector disks: room for tests' indexes
  static constexpr uint32_t BLOCK = 4096;

  struct Item {
    uint64_t record = 0;
    std::u16string name;
    uint8_t nameSpace = 1;  // 0 POSIX, 1 Win32, 2 DOS, 3 Win32 and DOS
    int subnode = -1;       // index block below this entry
    uint16_t sequence = 0;  // 0: the record's own
    bool recorded = true;   // the record carries this name too, as on a sound volume
  };
  struct Node {
    std::vector<Item> items;
    int endSubnode = -1;  // index block below the closing entry
  };

  // A volume with the root folder (record 5) and $Extend (11).
  explicit NtfsImage(uint64_t records = 64);

  // A new record in `folder`'s index root, under `name`.
  uint64_t addFile(uint64_t folder, const std::u16string& name, uint32_t word = 0x20);
  uint64_t addFolder(uint64_t folder, const std::u16string& name, uint32_t word = 0x10);
  // Another name of `record` in `folder`'s index root.
  void addName(uint64_t folder, uint64_t record, const std::u16string& name, uint8_t nameSpace = 1);
  void setReparseTag(uint64_t record, uint32_t tag, bool inExtension = false);
  // An extension record in use that names `base` but that the base's
  // attribute list does not name, holding a word of its own.
  void addStrayExtension(uint64_t base, uint32_t word) { strays_.push_back({base, word}); }
  // The whole index of `folder`: its root node and blocks (0, 1, ...), of
  // which those not in `inUse` are left out of its bitmap.
  void setIndex(uint64_t folder, Node root, std::vector<Node> blocks, std::vector<bool> inUse = {});
  Node& rootOf(uint64_t folder) { return folders_[folder].root; }
  void setDirty() { dirty_ = true; }
  void freeRecord(uint64_t record) { records_[record].inUse = false; }
  // The table's second half lies elsewhere, named by an attribute list in an
  // extension record of $MFT.
  void splitTable() { splitTable_ = true; }

  // The volume's bytes.
  std::vector<uint8_t> build() const;
  // Where record `record` starts in what build() gives.
  uint64_t recordOffset(uint64_t record) const;
  // Where block `block` of `folder`'s index starts.
  uint64_t blockOffset(uint64_t folder, size_t block) const;

 private:
  struct Record {
    bool inUse = false;
    bool directory = false;
    uint16_t sequence = 1;
    uint32_t word = 0;
    uint32_t tag = 0;
    bool tagInExtension = false;
  };
  struct Folder {
    Node root;
    std::vector<Node> blocks;
    std::vector<bool> inUse;
  };

  uint64_t newRecord(bool directory, uint32_t word);
  uint64_t firstIndexCluster(uint64_t folder) const;

  uint64_t records_count_;
  std::map<uint64_t, Record> records_;
  std::map<uint64_t, Folder> folders_;
  uint64_t next_ = 16;
  bool dirty_ = false;
  bool splitTable_ = false;
  std::vector<std::pair<uint64_t, uint32_t>> strays_;
};

}  // namespace tavrin::test
