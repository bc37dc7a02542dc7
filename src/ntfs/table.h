// An NTFS volume's file table, read from the volume's raw bytes: pure code
// over byte buffers, no system calls. The bytes come through VolumeBytes,
// which the platform supplies (a device opened read-only) and the tests fake.
//
// What is kept is what a listing through the driver would show: for every
// record in use its attribute word and kind, and for every folder the entries
// of its $I30 index, in the order the driver lists them. What the reader
// does not understand as a whole makes load() fail with a reason: the caller
// then walks the volume through the driver instead. A folder whose listing
// the table cannot vouch for (it changed while it was read, its index is
// damaged or too large, its entries and their files disagree) carries a
// doubt: the caller lists that folder through the driver.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ntfs/format.h"
#include "platform/platform.h"

namespace tavrin {

struct TableEntry {
  uint64_t record = 0;
  std::u16string_view name;  // as stored: UTF-16 code units
};

// Why the table does not vouch for a folder's listing.
enum class Doubt : uint8_t {
  None,
  Changed,    // its index read otherwise a moment later
  Damaged,    // its index cannot be read as an index
  TooLarge,   // its index needs more memory than the run may take
  Disagrees,  // an entry names no file, or a file that does not name it back
};

// What the table holds: filled by the loader, read through FileTable.
struct TableData {
  static constexpr uint8_t IN_USE = 1, DIRECTORY = 2, REPARSE = 4, LISTED = 8, EXTENSION = 16,
                           HAS_WORD = 32, DAMAGED = 64;
  std::vector<uint8_t> kinds;
  std::vector<uint32_t> words;
  std::vector<std::pair<uint64_t, uint32_t>> tags;  // sorted by record
  // Folders' entries, packed: the file reference in 4 units, the name's
  // length in 1, then its UTF-16 units. listings holds (folder, begin, end)
  // sorted by folder.
  std::vector<char16_t> names;
  struct Listing {
    uint64_t folder;
    size_t begin, end;  // in names
  };
  std::vector<Listing> listings;
  std::vector<uint64_t> hidden;                     // $Extend's files, sorted
  std::vector<std::pair<uint64_t, Doubt>> doubts;   // sorted by folder

  // Every entry of a folder's index, hidden or not.
  std::vector<TableEntry> allEntries(uint64_t folder) const;
  // Notes why a folder is doubted; its first reason stands.
  void addDoubt(uint64_t folder, Doubt why);
};

class FileTable {
 public:
  // Progress of load(): bytes read so far of about `total`. Returning false
  // stops the load (it then fails with the reason "stopped").
  using Progress = std::function<bool(uint64_t done, uint64_t total)>;

  // Reads the whole table in at most `memoryBudget` bytes (0: no limit of
  // its own). False, with a reason a person can read, when the table as a
  // whole cannot be read; the table is then empty.
  bool load(VolumeBytes& bytes, ListingOrder order, std::string& why, const Progress& progress = {},
            uint64_t memoryBudget = 0);

  uint64_t recordCount() const { return data_.kinds.size(); }
  bool inUse(uint64_t record) const {
    return record < data_.kinds.size() && (data_.kinds[record] & TableData::IN_USE);
  }
  bool isDirectory(uint64_t record) const {
    return record < data_.kinds.size() && (data_.kinds[record] & TableData::DIRECTORY);
  }
  // The word kept in $STANDARD_INFORMATION, as stored.
  uint32_t storedWord(uint64_t record) const { return data_.words[record]; }
  // The record's reparse tag, 0 when it is no reparse point.
  uint32_t reparseTag(uint64_t record) const;
  // The folder's entries in listing order; DOS-only names, the volume's own
  // files and $Extend's are left out. Each entry names a base record in use.
  // None for a folder the table doubts.
  std::vector<TableEntry> entries(uint64_t folder) const;
  // Doubt::None when the folder's entries are what its listing shows.
  Doubt doubt(uint64_t folder) const;
  // What the system says of a folder after the load (it changed).
  void doubtFolder(uint64_t folder, Doubt why);
  // The bytes this table holds, for stating its cost per file.
  size_t memoryUsed() const;

 private:
  TableData data_;
};

}  // namespace tavrin
