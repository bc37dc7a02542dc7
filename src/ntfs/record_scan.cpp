// The first pass of a load: the boot sector, the table's own runs, then
// every record in large sequential reads, keeping each record's kind and
// word, its names' fingerprints and what its folder index will need. An
// extension record counts only where its base's attribute list names it,
// and then only for the attributes the list says it holds.
#include <algorithm>
#include <cstring>

#include "ntfs/loader.h"

namespace tavrin {
namespace {

// The table is read in pieces of this size: few, large, sequential reads.
constexpr size_t READ_CHUNK = 4 << 20;
// What each record costs while the table loads: kind, word, sequence and
// about one name's fingerprint.
constexpr uint64_t BYTES_PER_RECORD = 1 + 4 + 2 + 8 * 2;
constexpr uint16_t RECORD_IN_USE = 0x1;
constexpr uint16_t RECORD_IS_DIRECTORY = 0x2;
constexpr uint16_t VOLUME_IS_DIRTY = 0x1;
constexpr uint32_t MAX_LIST_SIZE = 1 << 24;

class RecordScan {
 public:
  explicit RecordScan(LoadContext& context) : c_(context), t_(context.table) {}

  bool run() {
    uint8_t sector[512];
    if (!c_.bytes.read(0, sizeof sector, sector)) return c_.fail("the volume cannot be read");
    if (!parseBootSector(sector, sizeof sector, c_.boot)) return c_.fail("no NTFS boot sector");
    if (!readMftRuns() || !scan() || !readLongLists()) return false;
    takeExtensions();
    std::sort(c_.nameKeys.begin(), c_.nameKeys.end());
    if (c_.dirty) return c_.fail("the volume is marked dirty");
    return true;
  }

 private:
  using Part = std::pair<uint64_t, uint64_t>;  // holder, base << 8 | type >> 4

  // $MFT's own runs, from record 0 and the extension records its attribute
  // list names (a fragmented table on a full volume).
  bool readMftRuns() {
    std::vector<uint8_t> record;
    const BootSector& boot = c_.boot;
    if (!c_.readRecordAt(c_.clusterOffset(boot.mftCluster), record)) {
      return c_.fail("the file table's first record is damaged");
    }
    const size_t used = std::min<size_t>(u32(record.data() + 0x18), record.size());
    std::vector<uint8_t> list;
    const bool ok = forEachAttribute(record.data(), used, [&](const Attribute& a) {
      if (a.type == AT_DATA && a.name.empty() && a.nonResident) return addMftRuns(a);
      if (a.type != AT_ATTRIBUTE_LIST) return true;
      if (!a.nonResident) {
        list.assign(a.value, a.value + a.valueLength);
        return !list.empty();
      }
      std::vector<Run> runs;
      if (!decodeRuns(a.pairs, a.pairsLength, 0, boot.totalClusters, runs) || a.dataSize > MAX_LIST_SIZE ||
          a.dataSize == 0 || a.dataSize > allocatedClusters(runs) * boot.clusterSize) {
        return false;
      }
      list.resize(a.dataSize);
      return c_.readStream(runs, 0, list.size(), list.data());
    });
    if (!ok || c_.mftRuns.empty()) return c_.fail("the file table's own record is not understood");
    if (!list.empty() && !addMftRunsFromList(list)) return false;
    std::sort(c_.mftRuns.begin(), c_.mftRuns.end(), [](const Run& a, const Run& b) { return a.vcn < b.vcn; });
    uint64_t vcn = 0;
    for (const Run& run : c_.mftRuns) {
      if (run.vcn != vcn || run.lcn == SPARSE_RUN) return c_.fail("the file table's runs have a gap");
      vcn += run.length;
    }
    if (c_.mftSize == 0 || c_.mftSize > vcn * boot.clusterSize) return c_.fail("the file table's size is wrong");
    const uint64_t records = c_.mftSize / boot.recordSize;
    if (records <= FIRST_USER_RECORD || records > (uint64_t{1} << 32)) {
      return c_.fail("the file table's size is wrong");
    }
    if (!c_.affords(records * BYTES_PER_RECORD + std::min<uint64_t>(READ_CHUNK, records * boot.recordSize))) {
      return c_.fail("not enough memory");
    }
    t_.kinds.assign(records, 0);
    t_.words.assign(records, 0);
    c_.sequences.assign(records, 0);
    c_.nameKeys.reserve(records);
    return true;
  }

  bool addMftRuns(const Attribute& a) {
    if (a.startVcn == 0) c_.mftSize = a.dataSize;
    return decodeRuns(a.pairs, a.pairsLength, a.startVcn, c_.boot.totalClusters, c_.mftRuns);
  }

  bool addMftRunsFromList(const std::vector<uint8_t>& list) {
    std::vector<ListEntry> entries;
    if (!parseAttributeList(list.data(), list.size(), entries)) {
      return c_.fail("the file table's attribute list is damaged");
    }
    std::vector<uint8_t> record;
    for (const ListEntry& entry : entries) {
      if (entry.type != AT_DATA || entry.record == 0) continue;
      // Extension records of $MFT lie in the part of it already known.
      const uint64_t offset = entry.record * c_.boot.recordSize;
      const uint64_t vcn = offset / c_.boot.clusterSize;
      const auto run = std::find_if(c_.mftRuns.begin(), c_.mftRuns.end(),
                                    [&](const Run& r) { return vcn >= r.vcn && vcn - r.vcn < r.length; });
      if (run == c_.mftRuns.end() || run->lcn == SPARSE_RUN ||
          !c_.readRecordAt(c_.clusterOffset(run->lcn) + offset - run->vcn * c_.boot.clusterSize, record)) {
        return c_.fail("an extension record of the file table cannot be read");
      }
      const size_t used = std::min<size_t>(u32(record.data() + 0x18), record.size());
      const bool ok = forEachAttribute(record.data(), used, [&](const Attribute& a) {
        return !(a.type == AT_DATA && a.name.empty() && a.nonResident && a.startVcn != 0) || addMftRuns(a);
      });
      if (!ok) return c_.fail("an extension record of the file table is not understood");
    }
    return true;
  }

  // Every record of the table, in large sequential reads.
  bool scan() {
    const uint32_t size = c_.boot.recordSize;
    const uint64_t records = t_.kinds.size();
    const size_t perChunk = static_cast<size_t>(std::min<uint64_t>(READ_CHUNK / size, records));
    std::vector<uint8_t> chunk(perChunk * size);
    for (uint64_t first = 0; first < records; first += perChunk) {
      const size_t count = static_cast<size_t>(std::min<uint64_t>(perChunk, records - first));
      const size_t length = count * size;
      if (!c_.readStream(c_.mftRuns, first * size, length, chunk.data())) {
        return c_.fail("the file table cannot be read");
      }
      c_.prefetchStream(c_.mftRuns, (first + count) * size, chunk.size());
      for (size_t i = 0; i < count; ++i) {
        if (!scanRecord(chunk.data() + i * size, first + i)) return false;
      }
      if (!c_.advance(length)) return false;
    }
    return true;
  }

  bool scanRecord(uint8_t* record, uint64_t number) {
    if (std::memcmp(record, "FILE", 4) != 0) {
      // Never used, or marked bad: only a reference to it would matter.
      if (std::memcmp(record, "BAAD", 4) == 0) t_.kinds[number] = TableData::DAMAGED;
      return true;
    }
    const uint16_t flags = u16(record + 0x16);
    if (!(flags & RECORD_IN_USE)) return true;
    if (!applyFixups(record, c_.boot.recordSize)) {
      t_.kinds[number] = TableData::DAMAGED;
      return true;
    }
    const size_t used = u32(record + 0x18);
    if (used > c_.boot.recordSize || u16(record + 0x14) >= used) {
      return c_.failAt("a record is not understood", number);
    }
    const uint64_t baseReference = u64(record + 0x20);
    if (baseReference != 0) {  // $MFT's own extensions name record 0
      if ((baseReference & RECORD_MASK) >= t_.kinds.size()) return c_.failAt("an extension record names no base", number);
      t_.kinds[number] = TableData::EXTENSION;
      extensions_.push_back({number, baseReference});
      return true;
    }
    t_.kinds[number] |= TableData::IN_USE | ((flags & RECORD_IS_DIRECTORY) ? TableData::DIRECTORY : 0);
    c_.sequences[number] = u16(record + 0x10);
    const bool ok =
        forEachAttribute(record, used, [&](const Attribute& a) { return takeAttribute(a, number, number); });
    if (!ok) return c_.failAt("an attribute is not understood", number);
    if (flags & RECORD_IS_DIRECTORY) {
      c_.folders[number].digest = LoadContext::foldIndexAttributes(record, used, DIGEST_SEED);
    }
    return true;
  }

  // `holder` is the record the attribute lies in, `owner` its base.
  bool takeAttribute(const Attribute& a, uint64_t owner, uint64_t holder) {
    switch (a.type) {
      case AT_STANDARD_INFORMATION:
        if (a.nonResident || a.valueLength < 0x24) return false;
        t_.words[owner] = u32(a.value + 0x20);
        t_.kinds[owner] |= TableData::HAS_WORD;
        return true;
      case AT_ATTRIBUTE_LIST:
        return owner != holder || takeList(a, owner);
      case AT_FILE_NAME: {
        FileName name;
        if (a.nonResident || !parseFileName(a.value, a.valueLength, name, nameBuffer_)) return false;
        // DOS names are never listed, so never asked about.
        if (name.nameSpace != DOS_NAMESPACE) c_.nameKeys.push_back(owner << 32 | nameKey(name.parent, name.name));
        return true;
      }
      case AT_VOLUME_INFORMATION:
        if (owner == 3 && !a.nonResident && a.valueLength >= 12 && (u16(a.value + 0x0A) & VOLUME_IS_DIRTY)) {
          c_.dirty = true;
        }
        return true;
      case AT_REPARSE_POINT:
        t_.kinds[owner] |= TableData::REPARSE;
        if (!a.nonResident) {
          if (a.valueLength < 8) return false;
          c_.tags[owner] = u32(a.value);
          return true;
        }
        if (a.startVcn == 0) return decodeRuns(a.pairs, a.pairsLength, 0, c_.boot.totalClusters, c_.longTags[owner]);
        return true;
      case AT_INDEX_ROOT:
      case AT_INDEX_ALLOCATION:
      case AT_BITMAP:
        return !isI30(a) || takeIndexAttribute(a, c_.folders[owner]);
      default:
        return true;
    }
  }

  // What a folder's $I30 index will need read after the scan.
  bool takeIndexAttribute(const Attribute& a, FolderIndex& folder) {
    if (a.type == AT_INDEX_ROOT) {
      if (a.nonResident) return false;
      folder.root.assign(a.value, a.value + a.valueLength);
      return true;
    }
    if (a.type == AT_INDEX_ALLOCATION) {
      if (!a.nonResident) return false;
      if (a.startVcn == 0) {
        folder.allocationSize = a.dataSize;
        c_.indexBytes += std::min<uint64_t>(a.dataSize, uint64_t{1} << 40);
      }
      return decodeRuns(a.pairs, a.pairsLength, a.startVcn, c_.boot.totalClusters, folder.allocation);
    }
    if (!a.nonResident) {
      folder.bitmap.assign(a.value, a.value + a.valueLength);
      return true;
    }
    folder.bitmapNonResident = true;
    if (a.startVcn == 0) folder.bitmapSize = a.dataSize;
    return decodeRuns(a.pairs, a.pairsLength, a.startVcn, c_.boot.totalClusters, folder.bitmapRuns);
  }

  // Which records hold which of the owner's attributes: read now when the
  // list lies in the record, after the scan when it lies elsewhere.
  bool takeList(const Attribute& a, uint64_t owner) {
    if (!a.nonResident) return addParts(a.value, a.valueLength, owner);
    if (a.startVcn != 0) return true;
    std::vector<Run> runs;
    if (!decodeRuns(a.pairs, a.pairsLength, 0, c_.boot.totalClusters, runs)) return false;
    if (a.dataSize > MAX_LIST_SIZE || a.dataSize > allocatedClusters(runs) * c_.boot.clusterSize) return false;
    longLists_.push_back({owner, a.dataSize, std::move(runs)});
    return true;
  }

  bool addParts(const uint8_t* list, size_t size, uint64_t owner) {
    std::vector<ListEntry> entries;
    if (!parseAttributeList(list, size, entries)) return false;
    for (const ListEntry& entry : entries) {
      if (entry.record != owner) parts_.push_back({entry.record, owner << 8 | ((entry.type >> 4) & 0xFF)});
    }
    return true;
  }

  bool readLongLists() {
    std::vector<uint8_t> list;
    for (const LongList& long_ : longLists_) {
      list.resize(long_.size);
      if (!c_.readStream(long_.runs, 0, list.size(), list.data()) ||
          !addParts(list.data(), list.size(), long_.owner)) {
        return c_.failAt("an attribute list cannot be read", long_.owner);
      }
    }
    longLists_.clear();
    std::sort(parts_.begin(), parts_.end());
    return true;
  }

  // An extension record belongs to a base record in use of the same
  // generation whose list names it; only the attributes the list names are
  // taken from it. Any other is left as the drivers leave it: unread.
  void takeExtensions() {
    std::vector<uint8_t> record;
    for (const auto& extension : extensions_) {
      const uint64_t number = extension.first, reference = extension.second;
      const uint64_t base = reference & RECORD_MASK;
      if (!(t_.kinds[base] & TableData::IN_USE) || c_.sequences[base] != reference >> 48) continue;
      const auto first = std::lower_bound(parts_.begin(), parts_.end(), Part{number, base << 8});
      const auto last = std::upper_bound(parts_.begin(), parts_.end(), Part{number, base << 8 | 0xFF});
      if (first == last || !c_.readRecord(number, record) || u64(record.data() + 0x20) != reference) continue;
      const size_t used = std::min<size_t>(u32(record.data() + 0x18), record.size());
      const auto named = [&](uint32_t type) {
        return std::any_of(first, last, [&](const Part& p) { return (p.second & 0xFF) == ((type >> 4) & 0xFF); });
      };
      const bool ok = forEachAttribute(record.data(), used, [&](const Attribute& a) {
        return !named(a.type) || a.type == AT_ATTRIBUTE_LIST || takeAttribute(a, base, number);
      });
      if (!ok) {
        t_.kinds[base] |= TableData::DAMAGED;
        continue;
      }
      const auto folder = c_.folders.find(base);
      if (folder != c_.folders.end()) {
        folder->second.digest = LoadContext::foldIndexAttributes(record.data(), used, folder->second.digest);
        folder->second.extensions.push_back(number);
      }
    }
  }

  struct LongList {
    uint64_t owner;
    uint64_t size;
    std::vector<Run> runs;
  };

  LoadContext& c_;
  TableData& t_;
  std::vector<std::pair<uint64_t, uint64_t>> extensions_;  // record, base reference
  std::vector<Part> parts_;
  std::vector<LongList> longLists_;
  std::u16string nameBuffer_;
};

}  // namespace

bool scanRecords(LoadContext& context) { return RecordScan(context).run(); }

}  // namespace tavrin
