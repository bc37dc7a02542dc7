#include "ntfs/table.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <unordered_map>

#include "platform/text.h"

namespace tavrin {
namespace {

// The table is read in pieces of this size: few, large, sequential reads.
constexpr size_t READ_CHUNK = 4 << 20;
// How far ahead of their reading the folders' index blocks are asked for.
constexpr uint64_t INDEX_PREFETCH = 4 << 20;
// The update sequence protects the last two bytes of every such stride.
constexpr size_t FIXUP_STRIDE = 512;

constexpr uint32_t AT_STANDARD_INFORMATION = 0x10;
constexpr uint32_t AT_DATA = 0x80;
constexpr uint32_t AT_INDEX_ROOT = 0x90;
constexpr uint32_t AT_INDEX_ALLOCATION = 0xA0;
constexpr uint32_t AT_BITMAP = 0xB0;
constexpr uint32_t AT_REPARSE_POINT = 0xC0;
constexpr uint32_t AT_VOLUME_INFORMATION = 0x70;
constexpr uint32_t AT_ATTRIBUTE_LIST = 0x20;
constexpr uint32_t AT_END = 0xFFFFFFFF;

constexpr uint16_t RECORD_IN_USE = 0x1;
constexpr uint16_t RECORD_IS_DIRECTORY = 0x2;
constexpr uint16_t VOLUME_IS_DIRTY = 0x1;
constexpr uint16_t INDEX_ENTRY_NODE = 0x1;
constexpr uint16_t INDEX_ENTRY_END = 0x2;
constexpr uint8_t DOS_NAMESPACE = 2;
constexpr uint32_t COLLATION_FILE_NAME = 1;
constexpr uint64_t RECORD_MASK = 0xFFFFFFFFFFFFull;
// Deeper than any index a volume can hold: a deeper one loops.
constexpr int MAX_INDEX_DEPTH = 64;

uint16_t u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t u32(const uint8_t* p) { return u16(p) | uint32_t{u16(p + 2)} << 16; }
uint64_t u64(const uint8_t* p) { return u32(p) | uint64_t{u32(p + 4)} << 32; }

bool isPowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

// A size given as clusters (positive) or as a power of two (negative).
uint64_t sizeFromClusters(uint8_t raw, uint32_t clusterSize) {
  const auto v = static_cast<int8_t>(raw);
  if (v > 0) return uint64_t{static_cast<uint8_t>(v)} * clusterSize;
  if (v < -31 || v == 0) return 0;
  return uint64_t{1} << -v;
}

// One attribute of a record, bounds checked against the record.
struct Attribute {
  uint32_t type = 0;
  bool nonResident = false;
  std::u16string_view name;
  const uint8_t* value = nullptr;  // resident value
  size_t valueLength = 0;
  uint64_t startVcn = 0;           // non-resident
  uint64_t dataSize = 0;           // non-resident, at VCN 0
  const uint8_t* pairs = nullptr;
  size_t pairsLength = 0;
};

// Walks a record's attributes; false when one is malformed.
template <typename Visit>
bool forEachAttribute(const uint8_t* record, size_t used, Visit visit) {
  size_t at = u16(record + 0x14);
  std::u16string nameBuffer;
  while (true) {
    if (at + 4 > used) return false;
    const uint8_t* a = record + at;
    const uint32_t type = u32(a);
    if (type == AT_END) return true;
    if (at + 16 > used) return false;
    const uint32_t length = u32(a + 4);
    if (length < 16 || length % 8 != 0 || length > used - at) return false;
    Attribute attribute;
    attribute.type = type;
    attribute.nonResident = a[8] != 0;
    const size_t nameLength = a[9];
    const size_t nameOffset = u16(a + 0x0A);
    if (nameLength != 0) {
      if (nameOffset + 2 * nameLength > length) return false;
      nameBuffer.resize(nameLength);
      for (size_t i = 0; i < nameLength; ++i) nameBuffer[i] = static_cast<char16_t>(u16(a + nameOffset + 2 * i));
      attribute.name = nameBuffer;
    }
    if (!attribute.nonResident) {
      if (length < 0x18) return false;
      const uint32_t valueLength = u32(a + 0x10);
      const size_t valueOffset = u16(a + 0x14);
      if (valueOffset > length || valueLength > length - valueOffset) return false;
      attribute.value = a + valueOffset;
      attribute.valueLength = valueLength;
    } else {
      if (length < 0x40) return false;
      attribute.startVcn = u64(a + 0x10);
      const size_t pairsOffset = u16(a + 0x20);
      if (pairsOffset < 0x40 || pairsOffset > length) return false;
      attribute.dataSize = u64(a + 0x30);
      attribute.pairs = a + pairsOffset;
      attribute.pairsLength = length - pairsOffset;
    }
    if (!visit(attribute)) return false;
    at += length;
  }
}

bool isI30(const Attribute& a) { return a.name == u"$I30"; }

// What the scan gathers of one folder's index before reading its blocks.
struct FolderIndex {
  std::vector<uint8_t> root;  // the $INDEX_ROOT value
  std::vector<Run> allocation;
  uint64_t allocationSize = 0;
  std::vector<uint8_t> bitmap;  // resident, or read after the scan
  std::vector<Run> bitmapRuns;
  uint64_t bitmapSize = 0;
  bool bitmapNonResident = false;
};

}  // namespace

bool parseBootSector(const uint8_t* sector, size_t size, BootSector& boot) {
  if (size < 512 || std::memcmp(sector + 3, "NTFS    ", 8) != 0) return false;
  boot.bytesPerSector = u16(sector + 0x0B);
  if (!isPowerOfTwo(boot.bytesPerSector) || boot.bytesPerSector < 256 || boot.bytesPerSector > 4096) {
    return false;
  }
  // Up to 128 sectors a cluster as the count, beyond as a negative power of two.
  const uint8_t perCluster = sector[0x0D];
  if (perCluster > 0x80 && 256 - perCluster > 12) return false;
  const uint64_t sectorsPerCluster = perCluster <= 0x80 ? perCluster : uint64_t{1} << (256 - perCluster);
  if (!isPowerOfTwo(sectorsPerCluster)) return false;
  const uint64_t clusterSize = sectorsPerCluster * boot.bytesPerSector;
  if (clusterSize > (2u << 20)) return false;
  boot.clusterSize = static_cast<uint32_t>(clusterSize);
  const uint64_t recordSize = sizeFromClusters(sector[0x40], boot.clusterSize);
  const uint64_t indexSize = sizeFromClusters(sector[0x44], boot.clusterSize);
  const auto sane = [](uint64_t v) { return isPowerOfTwo(v) && v >= FIXUP_STRIDE && v <= 65536; };
  if (!sane(recordSize) || !sane(indexSize)) return false;
  boot.recordSize = static_cast<uint32_t>(recordSize);
  boot.indexBlockSize = static_cast<uint32_t>(indexSize);
  boot.totalClusters = u64(sector + 0x28) / sectorsPerCluster;
  boot.mftCluster = u64(sector + 0x30);
  return boot.totalClusters > 0 && boot.mftCluster < boot.totalClusters;
}

bool applyFixups(uint8_t* record, size_t size) {
  if (size < FIXUP_STRIDE || size % FIXUP_STRIDE != 0) return false;
  const size_t offset = u16(record + 4);
  const size_t count = u16(record + 6);
  const size_t strides = size / FIXUP_STRIDE;
  if (count != strides + 1 || offset % 2 != 0 || offset + 2 * count > FIXUP_STRIDE - 2) return false;
  const uint16_t sequence = u16(record + offset);
  for (size_t i = 0; i < strides; ++i) {
    uint8_t* last = record + (i + 1) * FIXUP_STRIDE - 2;
    if (u16(last) != sequence) return false;
    std::memcpy(last, record + offset + 2 * (i + 1), 2);
  }
  return true;
}

bool decodeRuns(const uint8_t* pairs, size_t size, uint64_t vcn, uint64_t totalClusters,
                std::vector<Run>& runs) {
  size_t at = 0;
  int64_t lcn = 0;
  while (at < size && pairs[at] != 0) {
    const size_t lengthBytes = pairs[at] & 0x0F;
    const size_t offsetBytes = pairs[at] >> 4;
    ++at;
    if (lengthBytes == 0 || lengthBytes > 8 || offsetBytes > 8 || at + lengthBytes + offsetBytes > size) {
      return false;
    }
    uint64_t length = 0;
    for (size_t i = 0; i < lengthBytes; ++i) length |= uint64_t{pairs[at + i]} << (8 * i);
    at += lengthBytes;
    if (length == 0 || length > totalClusters) return false;
    Run run{vcn, SPARSE_RUN, length};
    if (offsetBytes > 0) {
      uint64_t delta = 0;
      for (size_t i = 0; i < offsetBytes; ++i) delta |= uint64_t{pairs[at + i]} << (8 * i);
      if (offsetBytes < 8 && (pairs[at + offsetBytes - 1] & 0x80)) delta |= ~uint64_t{0} << (8 * offsetBytes);
      at += offsetBytes;
      lcn += static_cast<int64_t>(delta);
      if (lcn < 0 || static_cast<uint64_t>(lcn) >= totalClusters ||
          length > totalClusters - static_cast<uint64_t>(lcn)) {
        return false;
      }
      run.lcn = static_cast<uint64_t>(lcn);
    }
    runs.push_back(run);
    vcn += length;
  }
  return at < size;  // the closing zero byte
}

bool nameToUtf8(std::u16string_view name, std::string& out) {
  out.clear();
  for (size_t i = 0; i < name.size(); ++i) {
    const char16_t c = name[i];
    if (c == 0 || c == u'/') return false;
    if (c >= 0xD800 && c <= 0xDFFF) {
      if (c > 0xDBFF || i + 1 == name.size() || name[i + 1] < 0xDC00 || name[i + 1] > 0xDFFF) return false;
      ++i;
    }
  }
  appendBytes(out, name);
  return !name.empty();
}

// Does the work of FileTable::load; the table is filled as it goes.
class TableLoader {
 public:
  TableLoader(FileTable& table, VolumeBytes& bytes, ListingOrder order, const FileTable::Progress& progress)
      : table_(table), bytes_(bytes), order_(order), progress_(progress) {}

  bool load() {
    uint8_t sector[512];
    if (!bytes_.read(0, sizeof sector, sector)) return fail("the volume cannot be read");
    if (!parseBootSector(sector, sizeof sector, boot_)) return fail("no NTFS boot sector");
    if (!readMftRuns()) return false;
    if (!scan()) return false;
    if (!checkExtensions()) return false;
    if (!readIndexes()) return false;
    if (!readLongTags()) return false;
    return checkEntries();
  }

  std::string why;

 private:
  static constexpr uint8_t IN_USE = FileTable::IN_USE, DIRECTORY = FileTable::DIRECTORY,
                           REPARSE = FileTable::REPARSE, LISTED = FileTable::LISTED;
  static constexpr uint8_t EXTENSION = 16, HAS_WORD = 32, DAMAGED = 64;

  bool fail(std::string reason) {
    why = std::move(reason);
    return false;
  }
  bool failAt(const char* what, uint64_t record) {
    return fail(std::string(what) + " (record " + std::to_string(record) + ")");
  }

  uint64_t clusterOffset(uint64_t lcn) const { return lcn * boot_.clusterSize; }

  // Reads `length` bytes at `offset` of a non-resident stream.
  bool readStream(const std::vector<Run>& runs, uint64_t offset, size_t length, uint8_t* into) {
    const uint64_t cluster = boot_.clusterSize;
    while (length > 0) {
      const uint64_t vcn = offset / cluster;
      const auto run = std::find_if(runs.begin(), runs.end(),
                                    [&](const Run& r) { return vcn >= r.vcn && vcn - r.vcn < r.length; });
      if (run == runs.end()) return false;
      const uint64_t within = offset - run->vcn * cluster;
      const size_t piece = static_cast<size_t>(std::min<uint64_t>(length, run->length * cluster - within));
      if (run->lcn == SPARSE_RUN) {
        std::memset(into, 0, piece);
      } else if (!bytes_.read(clusterOffset(run->lcn) + within, piece, into)) {
        return false;
      }
      into += piece;
      offset += piece;
      length -= piece;
    }
    return true;
  }

  // Asks for `length` bytes at `offset` of a non-resident stream ahead of
  // their reading.
  void prefetchStream(const std::vector<Run>& runs, uint64_t offset, uint64_t length) {
    const uint64_t cluster = boot_.clusterSize;
    for (const Run& run : runs) {
      if (run.lcn == SPARSE_RUN) continue;
      const uint64_t start = run.vcn * cluster;
      const uint64_t from = std::max(start, offset);
      const uint64_t to = std::min(start + run.length * cluster, offset + length);
      if (from < to) bytes_.prefetch(clusterOffset(run.lcn) + (from - start), to - from);
    }
  }

  bool readRecordAt(uint64_t offset, std::vector<uint8_t>& record) {
    record.resize(boot_.recordSize);
    return bytes_.read(offset, record.size(), record.data()) && applyFixups(record.data(), record.size()) &&
           std::memcmp(record.data(), "FILE", 4) == 0;
  }

  // $MFT's own runs, from record 0 and the extension records its attribute
  // list names (a fragmented table on a full volume).
  bool readMftRuns() {
    std::vector<uint8_t> record;
    if (!readRecordAt(clusterOffset(boot_.mftCluster), record)) return fail("the file table's first record is damaged");
    const size_t used = std::min<size_t>(u32(record.data() + 0x18), record.size());
    std::vector<uint8_t> list;
    bool haveList = false;
    const bool ok = forEachAttribute(record.data(), used, [&](const Attribute& a) {
      if (a.type == AT_DATA && a.name.empty() && a.nonResident) return addMftRuns(a);
      if (a.type == AT_ATTRIBUTE_LIST) {
        haveList = true;
        if (!a.nonResident) {
          list.assign(a.value, a.value + a.valueLength);
          return true;
        }
        std::vector<Run> runs;
        if (!decodeRuns(a.pairs, a.pairsLength, 0, boot_.totalClusters, runs) || a.dataSize > (1u << 24)) {
          return false;
        }
        list.resize(a.dataSize);
        return readStream(runs, 0, list.size(), list.data());
      }
      return true;
    });
    if (!ok || mftRuns_.empty()) return fail("the file table's own record is not understood");
    if (haveList && !addMftRunsFromList(list)) return false;
    std::sort(mftRuns_.begin(), mftRuns_.end(), [](const Run& a, const Run& b) { return a.vcn < b.vcn; });
    uint64_t vcn = 0;
    for (const Run& run : mftRuns_) {
      if (run.vcn != vcn || run.lcn == SPARSE_RUN) return fail("the file table's runs have a gap");
      vcn += run.length;
    }
    if (mftSize_ == 0 || mftSize_ > vcn * boot_.clusterSize) return fail("the file table's size is wrong");
    const uint64_t records = mftSize_ / boot_.recordSize;
    if (records <= FIRST_USER_RECORD || records > (uint64_t{1} << 32)) return fail("the file table's size is wrong");
    table_.kinds_.assign(records, 0);
    table_.words_.assign(records, 0);
    sequences_.assign(records, 0);
    return true;
  }

  bool addMftRuns(const Attribute& a) {
    if (a.startVcn == 0) mftSize_ = a.dataSize;
    return decodeRuns(a.pairs, a.pairsLength, a.startVcn, boot_.totalClusters, mftRuns_);
  }

  bool addMftRunsFromList(const std::vector<uint8_t>& list) {
    std::vector<uint8_t> record;
    for (size_t at = 0; at + 0x1A <= list.size();) {
      const uint8_t* e = list.data() + at;
      const size_t length = u16(e + 4);
      if (length < 0x1A || at + length > list.size()) return fail("the file table's attribute list is damaged");
      const uint64_t holder = u64(e + 0x10) & RECORD_MASK;
      if (u32(e) == AT_DATA && e[6] == 0 && holder != 0) {
        // Extension records of $MFT lie in the part of it already known.
        const uint64_t offset = holder * boot_.recordSize;
        const uint64_t vcn = offset / boot_.clusterSize;
        const auto run = std::find_if(mftRuns_.begin(), mftRuns_.end(),
                                      [&](const Run& r) { return vcn >= r.vcn && vcn - r.vcn < r.length; });
        if (run == mftRuns_.end() || run->lcn == SPARSE_RUN ||
            !readRecordAt(clusterOffset(run->lcn) + offset - run->vcn * boot_.clusterSize, record)) {
          return fail("an extension record of the file table cannot be read");
        }
        const size_t used = std::min<size_t>(u32(record.data() + 0x18), record.size());
        const bool ok = forEachAttribute(record.data(), used, [&](const Attribute& a) {
          return !(a.type == AT_DATA && a.name.empty() && a.nonResident && a.startVcn != 0) || addMftRuns(a);
        });
        if (!ok) return fail("an extension record of the file table is not understood");
      }
      at += length;
    }
    return true;
  }

  // Every record of the table, in large sequential reads.
  bool scan() {
    const uint64_t records = table_.kinds_.size();
    const size_t perChunk = static_cast<size_t>(std::min<uint64_t>(READ_CHUNK / boot_.recordSize, records));
    std::vector<uint8_t> chunk(perChunk * boot_.recordSize);
    for (uint64_t first = 0; first < records; first += perChunk) {
      const size_t count = static_cast<size_t>(std::min<uint64_t>(perChunk, records - first));
      const size_t length = count * boot_.recordSize;
      if (!readStream(mftRuns_, first * boot_.recordSize, length, chunk.data())) {
        return fail("the file table cannot be read");
      }
      prefetchStream(mftRuns_, (first + count) * boot_.recordSize, chunk.size());
      for (size_t i = 0; i < count; ++i) {
        if (!scanRecord(chunk.data() + i * boot_.recordSize, first + i)) return false;
      }
      done_ += length;
      if (!report()) return false;
    }
    return true;
  }

  bool report() {
    if (progress_ && !progress_(done_, mftSize_ + indexBytes_)) return fail("stopped");
    return true;
  }

  bool scanRecord(uint8_t* record, uint64_t number) {
    if (std::memcmp(record, "FILE", 4) != 0) {
      // Never used, or marked bad: only a reference to it would matter.
      if (std::memcmp(record, "BAAD", 4) == 0) table_.kinds_[number] = DAMAGED;
      return true;
    }
    const uint16_t flags = u16(record + 0x16);
    if (!(flags & RECORD_IN_USE)) return true;
    if (!applyFixups(record, boot_.recordSize)) {
      table_.kinds_[number] = DAMAGED;
      return true;
    }
    const size_t used = u32(record + 0x18);
    if (used > boot_.recordSize || u16(record + 0x14) >= used) return failAt("a record is not understood", number);
    const uint64_t baseReference = u64(record + 0x20);
    const uint64_t base = baseReference & RECORD_MASK;
    uint64_t owner = number;
    if (baseReference != 0) {  // $MFT's own extensions name record 0
      if (base >= table_.kinds_.size()) return failAt("an extension record names no base", number);
      table_.kinds_[number] = EXTENSION;
      extensions_.push_back({number, baseReference});
      owner = base;
    } else {
      table_.kinds_[number] |= IN_USE | ((flags & RECORD_IS_DIRECTORY) ? DIRECTORY : 0);
      sequences_[number] = u16(record + 0x10);
    }
    const bool ok = forEachAttribute(record, used, [&](const Attribute& a) { return takeAttribute(a, owner); });
    return ok || failAt("an attribute is not understood", number);
  }

  bool takeAttribute(const Attribute& a, uint64_t owner) {
    switch (a.type) {
      case AT_STANDARD_INFORMATION:
        if (a.nonResident || a.valueLength < 0x24) return false;
        table_.words_[owner] = u32(a.value + 0x20);
        table_.kinds_[owner] |= HAS_WORD;
        return true;
      case AT_VOLUME_INFORMATION:
        if (owner == 3 && !a.nonResident && a.valueLength >= 12 && (u16(a.value + 0x0A) & VOLUME_IS_DIRTY)) {
          dirty_ = true;
        }
        return true;
      case AT_REPARSE_POINT:
        table_.kinds_[owner] |= REPARSE;
        if (!a.nonResident) {
          if (a.valueLength < 8) return false;
          tags_[owner] = u32(a.value);
          return true;
        }
        if (a.startVcn == 0) return decodeRuns(a.pairs, a.pairsLength, 0, boot_.totalClusters, longTags_[owner]);
        return true;
      case AT_INDEX_ROOT:
        if (!isI30(a)) return true;
        if (a.nonResident) return false;
        folders_[owner].root.assign(a.value, a.value + a.valueLength);
        return true;
      case AT_INDEX_ALLOCATION: {
        if (!isI30(a)) return true;
        if (!a.nonResident) return false;
        FolderIndex& folder = folders_[owner];
        if (a.startVcn == 0) {
          folder.allocationSize = a.dataSize;
          indexBytes_ += a.dataSize;
        }
        return decodeRuns(a.pairs, a.pairsLength, a.startVcn, boot_.totalClusters, folder.allocation);
      }
      case AT_BITMAP: {
        if (!isI30(a)) return true;
        FolderIndex& folder = folders_[owner];
        if (!a.nonResident) {
          folder.bitmap.assign(a.value, a.value + a.valueLength);
          return true;
        }
        folder.bitmapNonResident = true;
        if (a.startVcn == 0) folder.bitmapSize = a.dataSize;
        return decodeRuns(a.pairs, a.pairsLength, a.startVcn, boot_.totalClusters, folder.bitmapRuns);
      }
      default:
        return true;
    }
  }

  // An extension record belongs to a base record in use of the same
  // generation: else its attributes were taken from a stale record.
  bool checkExtensions() {
    for (const auto& [number, reference] : extensions_) {
      const uint64_t base = reference & RECORD_MASK;
      if (!(table_.kinds_[base] & IN_USE) || sequences_[base] != reference >> 48) {
        return failAt("an extension record belongs to no record in use", number);
      }
    }
    if (dirty_) return fail("the volume is marked dirty");
    return true;
  }

  // Reparse data too large for its record: only its tag is wanted.
  bool readLongTags() {
    for (auto& [record, runs] : longTags_) {
      if (tags_.count(record)) continue;
      uint8_t tag[4];
      if (!readStream(runs, 0, sizeof tag, tag)) return failAt("reparse data cannot be read", record);
      tags_[record] = u32(tag);
    }
    table_.tags_.assign(tags_.begin(), tags_.end());
    std::sort(table_.tags_.begin(), table_.tags_.end());
    return true;
  }

  // The folders' indexes, in the order their blocks lie on the volume.
  bool readIndexes() {
    std::vector<std::pair<uint64_t, uint64_t>> order;  // first cluster, folder
    for (auto& [folder, index] : folders_) {
      std::sort(index.allocation.begin(), index.allocation.end(),
                [](const Run& a, const Run& b) { return a.vcn < b.vcn; });
      const uint64_t first = index.allocation.empty() ? 0 : index.allocation.front().lcn;
      order.push_back({first, folder});
    }
    std::sort(order.begin(), order.end());
    std::vector<char16_t> packed;
    size_t ahead = 0;       // the next folder whose index to ask for
    uint64_t asked = 0;     // bytes asked for ahead, and read since
    uint64_t reached = 0;
    for (const auto& [first, folder] : order) {
      for (; ahead < order.size() && asked < reached + INDEX_PREFETCH; ++ahead) {
        const FolderIndex& next = folders_[order[ahead].second];
        prefetchStream(next.allocation, 0, next.allocationSize);
        asked += next.allocationSize;
      }
      reached += folders_[folder].allocationSize;
      if (!(table_.kinds_[folder] & IN_USE)) return failAt("an index belongs to no record in use", folder);
      if (!(table_.kinds_[folder] & DIRECTORY)) continue;  // a view index of the volume's own files
      packed.clear();
      if (!readFolder(folder, folders_[folder], packed)) return false;
      table_.listings_.push_back({folder, table_.names_.size(), table_.names_.size() + packed.size()});
      table_.names_.insert(table_.names_.end(), packed.begin(), packed.end());
      table_.kinds_[folder] |= LISTED;
      folders_[folder] = FolderIndex();  // its bytes are no longer needed
    }
    folders_.clear();
    std::sort(table_.listings_.begin(), table_.listings_.end(),
              [](const FileTable::Listing& a, const FileTable::Listing& b) { return a.folder < b.folder; });
    table_.names_.shrink_to_fit();
    return true;
  }

  bool readFolder(uint64_t folder, FolderIndex& index, std::vector<char16_t>& out) {
    const std::vector<uint8_t>& root = index.root;
    if (root.size() < 0x20) return failAt("a folder has no index", folder);
    if (u32(root.data()) != 0x30 || u32(root.data() + 4) != COLLATION_FILE_NAME) {
      return failAt("a folder's index is not of names", folder);
    }
    blockSize_ = u32(root.data() + 8);
    if (!isPowerOfTwo(blockSize_) || blockSize_ < FIXUP_STRIDE || blockSize_ > 65536) {
      return failAt("a folder's index blocks are not understood", folder);
    }
    vcnUnit_ = blockSize_ >= boot_.clusterSize ? boot_.clusterSize : FIXUP_STRIDE;
    // The blocks in use, read in runs of neighbours.
    if (index.bitmapNonResident) {
      std::sort(index.bitmapRuns.begin(), index.bitmapRuns.end(),
                [](const Run& a, const Run& b) { return a.vcn < b.vcn; });
      if (index.bitmapSize > (uint64_t{1} << 24)) return failAt("a folder's index bitmap is too large", folder);
      index.bitmap.resize(index.bitmapSize);
      if (!readStream(index.bitmapRuns, 0, index.bitmap.size(), index.bitmap.data())) {
        return failAt("a folder's index bitmap cannot be read", folder);
      }
    }
    const uint64_t blocks = index.allocation.empty() ? 0 : index.allocationSize / blockSize_;
    if (blocks > (uint64_t{1} << 26)) return failAt("a folder's index is too large", folder);
    blocks_.assign(static_cast<size_t>(blocks) * blockSize_, 0);
    inUse_.assign(static_cast<size_t>(blocks), false);
    for (uint64_t i = 0; i < blocks && i / 8 < index.bitmap.size(); ++i) {
      inUse_[i] = (index.bitmap[i / 8] >> (i % 8)) & 1;
    }
    constexpr uint64_t MAX_SPAN = 256;
    for (uint64_t i = 0; i < blocks;) {
      if (!inUse_[i]) {
        ++i;
        continue;
      }
      uint64_t end = i + 1;
      while (end < blocks && inUse_[end] && end - i < MAX_SPAN) ++end;
      uint8_t* at = blocks_.data() + i * blockSize_;
      if (!readStream(index.allocation, i * blockSize_, (end - i) * blockSize_, at)) {
        return failAt("a folder's index cannot be read", folder);
      }
      for (uint64_t b = i; b < end; ++b) {
        uint8_t* block = blocks_.data() + b * blockSize_;
        if (std::memcmp(block, "INDX", 4) != 0 || !applyFixups(block, blockSize_) ||
            u64(block + 0x10) != b * blockSize_ / vcnUnit_) {
          return failAt("a folder's index block is damaged", folder);
        }
      }
      done_ += (end - i) * blockSize_;
      if (!report()) return false;
      i = end;
    }
    const uint8_t* rootHeader = root.data() + 0x10;
    const size_t rootAvailable = root.size() - 0x10;
    if (order_ == ListingOrder::IndexBlocks) {
      if (!takeEntries(rootHeader, rootAvailable, out, folder, nullptr)) return false;
      for (uint64_t b = 0; b < blocks; ++b) {
        if (inUse_[b] && !takeEntries(blocks_.data() + b * blockSize_ + 0x18, blockSize_ - 0x18, out, folder, nullptr)) {
          return false;
        }
      }
      return true;
    }
    visited_.assign(static_cast<size_t>(blocks), false);
    return takeEntries(rootHeader, rootAvailable, out, folder, &depthZero_);
  }

  // The entries of one index node. With `depth`, each entry's subnode comes
  // first (collation order); without, subnodes are not followed.
  bool takeEntries(const uint8_t* header, size_t available, std::vector<char16_t>& out, uint64_t folder,
                   const int* depth) {
    if (available < 16) return failAt("a folder's index is damaged", folder);
    const size_t first = u32(header);
    const size_t end = u32(header + 4);
    if (first < 16 || first > end || end > available) return failAt("a folder's index is damaged", folder);
    for (size_t at = first;;) {
      if (at + 16 > end) return failAt("a folder's index is damaged", folder);
      const uint8_t* e = header + at;
      const size_t length = u16(e + 8);
      const size_t keyLength = u16(e + 10);
      const uint16_t flags = u16(e + 12);
      if (length < 16 || length % 8 != 0 || at + length > end) return failAt("a folder's index is damaged", folder);
      if (depth && (flags & INDEX_ENTRY_NODE)) {
        if (length < 24 || *depth >= MAX_INDEX_DEPTH) return failAt("a folder's index is damaged", folder);
        const uint64_t vcn = u64(e + length - 8);
        const uint64_t block = vcn * vcnUnit_ / blockSize_;
        if (vcn * vcnUnit_ % blockSize_ != 0 || block >= inUse_.size() || !inUse_[block] || visited_[block]) {
          return failAt("a folder's index is damaged", folder);
        }
        visited_[block] = true;
        const int deeper = *depth + 1;
        if (!takeEntries(blocks_.data() + block * blockSize_ + 0x18, blockSize_ - 0x18, out, folder, &deeper)) {
          return false;
        }
      }
      if (flags & INDEX_ENTRY_END) return true;
      if (keyLength < 0x42 || 16 + keyLength > length) return failAt("a folder's index is damaged", folder);
      const uint8_t* key = e + 16;
      const size_t nameLength = key[0x40];
      if (0x42 + 2 * nameLength > keyLength || nameLength == 0) return failAt("a folder's index is damaged", folder);
      if (key[0x41] != DOS_NAMESPACE) {
        const uint64_t reference = u64(e);
        for (int shift = 0; shift < 64; shift += 16) out.push_back(static_cast<char16_t>(reference >> shift));
        out.push_back(static_cast<char16_t>(nameLength));
        for (size_t i = 0; i < nameLength; ++i) out.push_back(static_cast<char16_t>(u16(key + 0x42 + 2 * i)));
      }
      at += length;
    }
  }

  // Every name of every folder leads to a record in use of the same
  // generation; the volume's own files are left out, $Extend's included.
  bool checkEntries() {
    std::vector<uint64_t> pending{EXTEND_RECORD};
    while (!pending.empty()) {
      const uint64_t folder = pending.back();
      pending.pop_back();
      for (const TableEntry& entry : rawEntries(folder)) {
        if (entry.record < table_.kinds_.size() && (table_.kinds_[entry.record] & DIRECTORY) &&
            !hidden_.count(entry.record)) {
          pending.push_back(entry.record);
        }
        hidden_.insert(entry.record);
      }
    }
    for (const FileTable::Listing& listing : table_.listings_) {
      for (size_t at = listing.begin; at < listing.end;) {
        uint64_t reference = 0;
        for (size_t i = 0; i < 4; ++i) reference |= uint64_t{table_.names_[at + i]} << (16 * i);
        at += size_t{5} + table_.names_[at + 4];
        const uint64_t record = reference & RECORD_MASK;
        if (record < FIRST_USER_RECORD || hidden_.count(record)) continue;
        const uint8_t kind = record < table_.kinds_.size() ? table_.kinds_[record] : 0;
        if (kind & DAMAGED) return failAt("a listed record is damaged", record);
        if (!(kind & IN_USE) || !(kind & HAS_WORD) || (kind & EXTENSION)) {
          return failAt("a name leads to no file", record);
        }
        if ((reference >> 48) != 0 && (reference >> 48) != sequences_[record]) {
          return failAt("a name leads to a deleted file", record);
        }
        if ((kind & DIRECTORY) && !(kind & LISTED)) return failAt("a folder has no index", record);
      }
    }
    table_.hidden_.assign(hidden_.begin(), hidden_.end());
    std::sort(table_.hidden_.begin(), table_.hidden_.end());
    return true;
  }

  std::vector<TableEntry> rawEntries(uint64_t folder) const { return table_.allEntries(folder); }

  FileTable& table_;
  VolumeBytes& bytes_;
  ListingOrder order_;
  const FileTable::Progress& progress_;
  BootSector boot_;
  std::vector<Run> mftRuns_;
  uint64_t mftSize_ = 0;
  std::vector<uint16_t> sequences_;
  std::vector<std::pair<uint64_t, uint64_t>> extensions_;  // record, base reference
  std::unordered_map<uint64_t, FolderIndex> folders_;
  std::map<uint64_t, uint32_t> tags_;
  std::map<uint64_t, std::vector<Run>> longTags_;
  std::set<uint64_t> hidden_;
  bool dirty_ = false;
  uint64_t done_ = 0;
  uint64_t indexBytes_ = 0;
  // The folder being read: its blocks, which are in use, which were visited.
  uint32_t blockSize_ = 0;
  uint32_t vcnUnit_ = 0;
  std::vector<uint8_t> blocks_;
  std::vector<bool> inUse_;
  std::vector<bool> visited_;
  const int depthZero_ = 0;
};

bool FileTable::load(VolumeBytes& bytes, ListingOrder order, std::string& why, const Progress& progress) {
  *this = FileTable();
  TableLoader loader(*this, bytes, order, progress);
  if (loader.load()) return true;
  why = loader.why;
  *this = FileTable();
  return false;
}

uint32_t FileTable::reparseTag(uint64_t record) const {
  const auto it = std::lower_bound(tags_.begin(), tags_.end(), std::make_pair(record, uint32_t{0}));
  return it != tags_.end() && it->first == record ? it->second : 0;
}

std::vector<TableEntry> FileTable::allEntries(uint64_t folder) const {
  std::vector<TableEntry> out;
  const auto it = std::lower_bound(listings_.begin(), listings_.end(), folder,
                                   [](const Listing& l, uint64_t f) { return l.folder < f; });
  if (it == listings_.end() || it->folder != folder) return out;
  for (size_t at = it->begin; at < it->end;) {
    uint64_t reference = 0;
    for (size_t i = 0; i < 4; ++i) reference |= uint64_t{names_[at + i]} << (16 * i);
    const size_t length = names_[at + 4];
    out.push_back({reference & 0xFFFFFFFFFFFFull, std::u16string_view(names_.data() + at + 5, length)});
    at += 5 + length;
  }
  return out;
}

std::vector<TableEntry> FileTable::entries(uint64_t folder) const {
  std::vector<TableEntry> out = allEntries(folder);
  std::erase_if(out, [&](const TableEntry& e) {
    return e.record < FIRST_USER_RECORD || std::binary_search(hidden_.begin(), hidden_.end(), e.record);
  });
  return out;
}

size_t FileTable::memoryUsed() const {
  return kinds_.capacity() + words_.capacity() * 4 + tags_.capacity() * 16 + names_.capacity() * 2 +
         listings_.capacity() * sizeof(Listing) + hidden_.capacity() * 8;
}

}  // namespace tavrin
