// What the pieces of one load of a file table share: the volume and its
// geometry, the table being filled, what the record scan gathered for the
// index reads, the memory the load may take, and its progress.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "ntfs/format.h"
#include "ntfs/table.h"

namespace tavrin {

// What the scan gathers of one folder's index before reading its blocks,
// and what tells later whether it still reads the same.
struct FolderIndex {
  std::vector<uint8_t> root;  // the $INDEX_ROOT value
  std::vector<Run> allocation;
  uint64_t allocationSize = 0;
  std::vector<uint8_t> bitmap;  // resident, or read after the scan
  std::vector<Run> bitmapRuns;
  uint64_t bitmapSize = 0;
  bool bitmapNonResident = false;
  // The index's attributes as the scan found them, and the extension
  // records they were found in besides the folder's own.
  uint64_t digest = DIGEST_SEED;
  std::vector<uint64_t> extensions;
};

class LoadContext {
 public:
  LoadContext(TableData& into, VolumeBytes& volume, ListingOrder listingOrder, const FileTable::Progress& progress,
              uint64_t memoryBudget)
      : table(into), bytes(volume), order(listingOrder), progress_(progress), budget_(memoryBudget) {}

  bool fail(std::string reason) {
    if (why.empty()) why = std::move(reason);
    return false;
  }
  bool failAt(const char* what, uint64_t record) {
    return fail(std::string(what) + " (record " + std::to_string(record) + ")");
  }
  // False when `bytes` more would take the load past its budget.
  bool affords(uint64_t more) const { return budget_ == 0 || more <= budget_ - std::min(budget_, committed()); }
  // What the table and the scan's findings hold now (of the names, what is
  // written: the room reserved for them costs nothing until then).
  uint64_t committed() const {
    return table.kinds.capacity() + table.words.capacity() * 4 + sequences.capacity() * 2 + nameKeys.capacity() * 8 +
           table.names.size() * 2 + table.listings.capacity() * sizeof(TableData::Listing);
  }
  uint64_t budget() const { return budget_; }

  uint64_t clusterOffset(uint64_t lcn) const { return lcn * boot.clusterSize; }
  // Reads `length` bytes at `offset` of a non-resident stream.
  bool readStream(const std::vector<Run>& runs, uint64_t offset, size_t length, uint8_t* into);
  // Asks for `length` bytes at `offset` of a non-resident stream ahead of
  // their reading.
  void prefetchStream(const std::vector<Run>& runs, uint64_t offset, uint64_t length);
  // A record read afresh from the volume, its update sequence undone.
  bool readRecordAt(uint64_t offset, std::vector<uint8_t>& record);
  bool readRecord(uint64_t number, std::vector<uint8_t>& record);
  // `bytes` more read: tells the progress, which may stop the load.
  bool advance(uint64_t read);

  // The digest of what a folder's listing depends on in one of its
  // records: its index attributes and its attribute list, as they stand.
  static uint64_t foldIndexAttributes(const uint8_t* record, size_t used, uint64_t seed);

  std::string why;
  TableData& table;
  VolumeBytes& bytes;
  const ListingOrder order;
  BootSector boot;
  std::vector<Run> mftRuns;
  uint64_t mftSize = 0;
  std::vector<uint16_t> sequences;
  std::unordered_map<uint64_t, FolderIndex> folders;
  std::map<uint64_t, uint32_t> tags;
  std::map<uint64_t, std::vector<Run>> longTags;
  // (record << 32 | nameKey(parent, name)) of every name a record carries,
  // sorted once the scan is over.
  std::vector<uint64_t> nameKeys;
  bool dirty = false;
  uint64_t indexBytes = 0;

 private:
  const FileTable::Progress& progress_;
  const uint64_t budget_;
  uint64_t done_ = 0;
};

// The volume's geometry, the table's own runs and every record of it.
bool scanRecords(LoadContext& context);
// Every folder's index, each checked to read the same twice.
bool readIndexes(LoadContext& context);
// Every entry leads to a record in use that names it back; $Extend's own.
void checkEntries(LoadContext& context);

}  // namespace tavrin
