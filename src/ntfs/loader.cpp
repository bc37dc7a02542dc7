// The parts of a load that hold it together: reads through the table's own
// runs, the check of every entry once all folders are read, and the load
// itself, which turns any shortage of memory into a reason to walk.
#include <algorithm>
#include <cstring>
#include <new>
#include <set>

#include "ntfs/loader.h"

namespace tavrin {

bool LoadContext::readStream(const std::vector<Run>& runs, uint64_t offset, size_t length, uint8_t* into) {
  const uint64_t cluster = boot.clusterSize;
  while (length > 0) {
    const uint64_t vcn = offset / cluster;
    const auto run = std::find_if(runs.begin(), runs.end(),
                                  [&](const Run& r) { return vcn >= r.vcn && vcn - r.vcn < r.length; });
    if (run == runs.end()) return false;
    const uint64_t within = offset - run->vcn * cluster;
    const size_t piece = static_cast<size_t>(std::min<uint64_t>(length, run->length * cluster - within));
    if (run->lcn == SPARSE_RUN) {
      std::memset(into, 0, piece);
    } else if (!bytes.read(clusterOffset(run->lcn) + within, piece, into)) {
      return false;
    }
    into += piece;
    offset += piece;
    length -= piece;
  }
  return true;
}

void LoadContext::prefetchStream(const std::vector<Run>& runs, uint64_t offset, uint64_t length) {
  const uint64_t cluster = boot.clusterSize;
  for (const Run& run : runs) {
    if (run.lcn == SPARSE_RUN) continue;
    const uint64_t start = run.vcn * cluster;
    const uint64_t from = std::max(start, offset);
    const uint64_t to = std::min(start + run.length * cluster, offset + length);
    if (from < to) bytes.prefetch(clusterOffset(run.lcn) + (from - start), to - from);
  }
}

bool LoadContext::readRecordAt(uint64_t offset, std::vector<uint8_t>& record) {
  record.resize(boot.recordSize);
  return bytes.read(offset, record.size(), record.data()) && applyFixups(record.data(), record.size()) &&
         std::memcmp(record.data(), "FILE", 4) == 0;
}

bool LoadContext::readRecord(uint64_t number, std::vector<uint8_t>& record) {
  record.resize(boot.recordSize);
  return readStream(mftRuns, number * boot.recordSize, record.size(), record.data()) &&
         std::memcmp(record.data(), "FILE", 4) == 0 && applyFixups(record.data(), record.size());
}

bool LoadContext::advance(uint64_t read) {
  done_ += read;
  if (progress_ && !progress_(done_, mftSize + indexBytes)) return fail("stopped");
  return true;
}

uint64_t LoadContext::foldIndexAttributes(const uint8_t* record, size_t used, uint64_t seed) {
  // Which record this is, of which generation, and whether it is in use.
  seed = digest(record + 0x10, 2, seed);
  seed = digest(record + 0x16, 2, seed);
  const bool ok = forEachAttribute(record, used, [&](const Attribute& a) {
    const bool index = (a.type == AT_INDEX_ROOT || a.type == AT_INDEX_ALLOCATION || a.type == AT_BITMAP) && isI30(a);
    if (index || a.type == AT_ATTRIBUTE_LIST) seed = digest(a.raw, a.rawLength, seed);
    return true;
  });
  return ok ? seed : ~seed;
}

namespace {

bool namesBack(const LoadContext& c, uint64_t record, uint64_t folder, std::u16string_view name) {
  const uint64_t key = record << 32 | nameKey(folder, name);
  return std::binary_search(c.nameKeys.begin(), c.nameKeys.end(), key);
}

}  // namespace

// $Extend's files are hidden where they name $Extend's folders back; every
// other name of every folder leads to a record in use of the same
// generation that carries that name in that folder. A folder with any
// other entry is doubted.
void checkEntries(LoadContext& c) {
  TableData& t = c.table;
  std::set<uint64_t> hidden;
  std::vector<uint64_t> pending{EXTEND_RECORD};
  while (!pending.empty()) {
    const uint64_t folder = pending.back();
    pending.pop_back();
    for (const TableEntry& entry : t.allEntries(folder)) {
      if (entry.record >= t.kinds.size() || !namesBack(c, entry.record, folder, entry.name)) continue;
      if ((t.kinds[entry.record] & TableData::DIRECTORY) && !hidden.count(entry.record)) {
        pending.push_back(entry.record);
      }
      hidden.insert(entry.record);
    }
  }
  t.hidden.assign(hidden.begin(), hidden.end());
  for (const TableData::Listing& listing : t.listings) {
    for (size_t at = listing.begin; at < listing.end;) {
      uint64_t reference = 0;
      for (size_t i = 0; i < 4; ++i) reference |= uint64_t{t.names[at + i]} << (16 * i);
      const std::u16string_view name(t.names.data() + at + 5, t.names[at + 4]);
      at += size_t{5} + t.names[at + 4];
      const uint64_t record = reference & RECORD_MASK;
      if (record < FIRST_USER_RECORD || hidden.count(record)) continue;
      const uint8_t kind = record < t.kinds.size() ? t.kinds[record] : 0;
      const uint16_t sequence = static_cast<uint16_t>(reference >> 48);
      Doubt why = Doubt::None;
      if (kind & TableData::DAMAGED) {
        why = Doubt::Damaged;
      } else if (!(kind & TableData::IN_USE) || !(kind & TableData::HAS_WORD) || (kind & TableData::EXTENSION) ||
                 (sequence != 0 && sequence != c.sequences[record]) ||
                 ((kind & TableData::DIRECTORY) && !(kind & TableData::LISTED)) ||
                 !namesBack(c, record, listing.folder, name)) {
        why = Doubt::Disagrees;
      }
      if (why != Doubt::None) {
        t.addDoubt(listing.folder, why);
        break;
      }
    }
  }
}

bool FileTable::load(VolumeBytes& bytes, ListingOrder order, std::string& why, const Progress& progress,
                     uint64_t memoryBudget) {
  data_ = TableData();
  bool loaded = false;
  // A volume too large for the memory at hand is walked instead, whatever
  // the estimates said: running out here must not end the run.
  try {
    LoadContext context(data_, bytes, order, progress, memoryBudget);
    loaded = scanRecords(context) && readIndexes(context);
    if (loaded) {
      if (!context.longTags.empty()) {
        for (auto& [record, runs] : context.longTags) {
          uint8_t tag[4];
          if (context.tags.count(record)) continue;
          if (!context.readStream(runs, 0, sizeof tag, tag)) {
            data_.kinds[record] |= TableData::DAMAGED;
            continue;
          }
          context.tags[record] = u32(tag);
        }
      }
      data_.tags.assign(context.tags.begin(), context.tags.end());
      checkEntries(context);
    }
    why = context.why;
  } catch (const std::bad_alloc&) {
    loaded = false;
    why = "not enough memory";
  }
  if (!loaded) data_ = TableData();
  return loaded;
}

}  // namespace tavrin
