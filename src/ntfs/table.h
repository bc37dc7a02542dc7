// An NTFS volume's file table, read from the volume's raw bytes: pure code
// over byte buffers, no system calls. The bytes come through VolumeBytes,
// which the platform supplies (a device opened read-only) and the tests fake.
//
// What is kept is what a listing through the driver would show: for every
// record in use its attribute word and kind, and for every folder the entries
// of its $I30 index, in the order the driver lists them. Anything the reader
// does not understand, or that does not add up, makes load() fail with a
// reason: the caller then walks the volume through the driver instead.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace tavrin {

// Records below this number are the volume's own files, never listed.
inline constexpr uint64_t FIRST_USER_RECORD = 16;
inline constexpr uint64_t ROOT_RECORD = 5;
inline constexpr uint64_t EXTEND_RECORD = 11;

// Reparse tags with this bit stand for another place (links, junctions,
// mount points); other tagged entries hold their data elsewhere (cloud, WOF).
inline constexpr uint32_t NAME_SURROGATE_TAG_BIT = 0x20000000;

struct TableEntry {
  uint64_t record = 0;
  std::u16string_view name;  // as stored: UTF-16 code units
};

class FileTable {
 public:
  // Progress of load(): bytes read so far of about `total`. Returning false
  // stops the load (it then fails with the reason "stopped").
  using Progress = std::function<bool(uint64_t done, uint64_t total)>;

  // Reads the whole table. False, with a reason a person can read, on any
  // inconsistency; the table is then empty.
  bool load(VolumeBytes& bytes, ListingOrder order, std::string& why,
            const Progress& progress = {});

  uint64_t recordCount() const { return kinds_.size(); }
  bool inUse(uint64_t record) const { return record < kinds_.size() && (kinds_[record] & IN_USE); }
  bool isDirectory(uint64_t record) const {
    return record < kinds_.size() && (kinds_[record] & DIRECTORY);
  }
  // The word kept in $STANDARD_INFORMATION, as stored.
  uint32_t storedWord(uint64_t record) const { return words_[record]; }
  // The record's reparse tag, 0 when it is no reparse point.
  uint32_t reparseTag(uint64_t record) const;
  // The folder's entries in listing order; DOS-only names, the volume's own
  // files and $Extend's are left out. Each entry names a base record in use.
  std::vector<TableEntry> entries(uint64_t folder) const;
  // The bytes this table holds, for stating its cost per file.
  size_t memoryUsed() const;

 private:
  static constexpr uint8_t IN_USE = 1, DIRECTORY = 2, REPARSE = 4, LISTED = 8;
  friend class TableLoader;

  std::vector<uint8_t> kinds_;
  std::vector<uint32_t> words_;
  std::vector<std::pair<uint64_t, uint32_t>> tags_;  // sorted by record
  // Every entry of a folder's index, hidden or not.
  std::vector<TableEntry> allEntries(uint64_t folder) const;

  // Folders' entries, packed: the file reference in 4 units, the name's
  // length in 1, then its UTF-16 units. listings_ holds (folder, begin, end)
  // sorted by folder.
  std::vector<char16_t> names_;
  struct Listing {
    uint64_t folder;
    size_t begin, end;  // in names_
  };
  std::vector<Listing> listings_;
  std::vector<uint64_t> hidden_;  // $Extend's files, sorted
};

// The NTFS volume geometry from a boot sector; false when it is none.
struct BootSector {
  uint32_t bytesPerSector = 0;
  uint32_t clusterSize = 0;
  uint32_t recordSize = 0;
  uint32_t indexBlockSize = 0;
  uint64_t totalClusters = 0;
  uint64_t mftCluster = 0;
};
bool parseBootSector(const uint8_t* sector, size_t size, BootSector& boot);

// Checks and undoes the update sequence of a multi-sector record (FILE or
// INDX) of `size` bytes in place. False when it is torn or malformed.
bool applyFixups(uint8_t* record, size_t size);

// One run of a non-resident attribute: `length` clusters at `lcn`, or none
// (sparse) when `lcn` is SPARSE_RUN.
inline constexpr uint64_t SPARSE_RUN = ~uint64_t{0};
struct Run {
  uint64_t vcn = 0;
  uint64_t lcn = 0;
  uint64_t length = 0;
};
// Decodes mapping pairs starting at virtual cluster `vcn`; false when they
// are malformed or leave the volume's `totalClusters`.
bool decodeRuns(const uint8_t* pairs, size_t size, uint64_t vcn, uint64_t totalClusters,
                std::vector<Run>& runs);

// The name as UTF-8, as a Linux driver shows it; false when it cannot be
// shown as a name (a lone surrogate, a NUL or a slash).
bool nameToUtf8(std::u16string_view name, std::string& out);

}  // namespace tavrin
