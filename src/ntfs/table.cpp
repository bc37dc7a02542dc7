#include "ntfs/table.h"

#include <algorithm>

namespace tavrin {

uint32_t FileTable::reparseTag(uint64_t record) const {
  const auto& tags = data_.tags;
  const auto it = std::lower_bound(tags.begin(), tags.end(), std::make_pair(record, uint32_t{0}));
  return it != tags.end() && it->first == record ? it->second : 0;
}

std::vector<TableEntry> TableData::allEntries(uint64_t folder) const {
  std::vector<TableEntry> out;
  const auto it = std::lower_bound(listings.begin(), listings.end(), folder,
                                   [](const Listing& l, uint64_t f) { return l.folder < f; });
  if (it == listings.end() || it->folder != folder) return out;
  for (size_t at = it->begin; at < it->end;) {
    uint64_t reference = 0;
    for (size_t i = 0; i < 4; ++i) reference |= uint64_t{names[at + i]} << (16 * i);
    const size_t length = names[at + 4];
    out.push_back({reference & RECORD_MASK, std::u16string_view(names.data() + at + 5, length)});
    at += 5 + length;
  }
  return out;
}

std::vector<TableEntry> FileTable::entries(uint64_t folder) const {
  if (doubt(folder) != Doubt::None) return {};  // listed through the system instead
  std::vector<TableEntry> out = data_.allEntries(folder);
  std::erase_if(out, [&](const TableEntry& e) {
    return e.record < FIRST_USER_RECORD || std::binary_search(data_.hidden.begin(), data_.hidden.end(), e.record);
  });
  return out;
}

Doubt FileTable::doubt(uint64_t folder) const {
  const auto& doubts = data_.doubts;
  const auto it = std::lower_bound(doubts.begin(), doubts.end(), std::make_pair(folder, Doubt::None));
  return it != doubts.end() && it->first == folder ? it->second : Doubt::None;
}

void TableData::addDoubt(uint64_t folder, Doubt why) {
  const auto it = std::lower_bound(doubts.begin(), doubts.end(), std::make_pair(folder, Doubt::None));
  if (it == doubts.end() || it->first != folder) doubts.insert(it, {folder, why});
}

void FileTable::doubtFolder(uint64_t folder, Doubt why) { data_.addDoubt(folder, why); }

size_t FileTable::memoryUsed() const {
  return data_.kinds.capacity() + data_.words.capacity() * 4 + data_.tags.capacity() * 16 +
         data_.names.size() * 2 + data_.listings.capacity() * sizeof(TableData::Listing) +
         data_.hidden.capacity() * 8 + data_.doubts.capacity() * 16;
}

}  // namespace tavrin
