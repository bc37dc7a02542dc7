#include "ntfs_image.h"

#include <cstdlib>
#include <cstring>

namespace tavrin::test {
namespace {

void put16(std::vector<uint8_t>& b, size_t at, uint64_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void put32(std::vector<uint8_t>& b, size_t at, uint64_t v) {
  put16(b, at, v);
  put16(b, at + 2, v >> 16);
}
void put64(std::vector<uint8_t>& b, size_t at, uint64_t v) {
  put32(b, at, v);
  put32(b, at + 4, v >> 32);
}
size_t align8(size_t v) { return (v + 7) & ~size_t{7}; }

// Replaces the last two bytes of each 512-byte stride of `size` bytes at
// `at` by the update sequence number, keeping them in the array at `usa`.
void protect(std::vector<uint8_t>& b, size_t at, size_t size, size_t usa) {
  put16(b, at + 4, usa);
  put16(b, at + 6, size / 512 + 1);
  put16(b, at + usa, 0x0101);
  for (size_t i = 0; i < size / 512; ++i) {
    const size_t last = at + (i + 1) * 512 - 2;
    b[at + usa + 2 + 2 * i] = b[last];
    b[at + usa + 3 + 2 * i] = b[last + 1];
    put16(b, last, 0x0101);
  }
}

// Attributes of one record, appended in order.
class RecordWriter {
 public:
  explicit RecordWriter(std::vector<uint8_t>& image, uint64_t at) : b_(image), at_(at) {}

  void resident(uint32_t type, const std::u16string& name, const std::vector<uint8_t>& value) {
    const size_t valueOffset = align8(0x18 + 2 * name.size());
    const size_t length = align8(valueOffset + value.size());
    header(type, length, false, name, 0x18);
    put32(b_, pos_ + 0x10, value.size());
    put16(b_, pos_ + 0x14, valueOffset);
    std::memcpy(&b_[pos_ + valueOffset], value.data(), value.size());
    pos_ += length;
    if (pos_ + 8 > at_ + NtfsImage::RECORD) std::abort();  // a test asked for too much
  }

  // One run of `clusters` at cluster `lcn`, starting at `vcn`, of a stream
  // of `size` bytes.
  void nonResident(uint32_t type, const std::u16string& name, uint64_t vcn, uint64_t clusters,
                   uint64_t size, uint64_t lcn) {
    const size_t pairsOffset = align8(0x40 + 2 * name.size());
    const size_t length = align8(pairsOffset + 1 + 16 + 1);
    header(type, length, true, name, 0x40);
    put64(b_, pos_ + 0x10, vcn);
    put64(b_, pos_ + 0x18, vcn + clusters - 1);
    put16(b_, pos_ + 0x20, pairsOffset);
    put64(b_, pos_ + 0x28, size);
    put64(b_, pos_ + 0x30, size);
    put64(b_, pos_ + 0x38, size);
    b_[pos_ + pairsOffset] = 0x88;
    put64(b_, pos_ + pairsOffset + 1, clusters);
    put64(b_, pos_ + pairsOffset + 9, lcn);
    pos_ += length;
    if (pos_ + 8 > at_ + NtfsImage::RECORD) std::abort();  // a test asked for too much
  }

  // Closes the record: end marker, header and update sequence.
  void finish(uint64_t number, bool inUse, bool directory, uint16_t sequence, uint64_t base) {
    put32(b_, pos_, 0xFFFFFFFF);
    std::memcpy(&b_[at_], "FILE", 4);
    put16(b_, at_ + 0x10, sequence);
    put16(b_, at_ + 0x14, 0x48);
    put16(b_, at_ + 0x16, (inUse ? 1 : 0) | (directory ? 2 : 0));
    put32(b_, at_ + 0x18, pos_ + 8 - at_);
    put32(b_, at_ + 0x1C, NtfsImage::RECORD);
    put64(b_, at_ + 0x20, base);
    put32(b_, at_ + 0x2C, number);
    protect(b_, at_, NtfsImage::RECORD, 0x30);
  }

 private:
  void header(uint32_t type, size_t length, bool nonResident, const std::u16string& name, size_t nameOffset) {
    put32(b_, pos_, type);
    put32(b_, pos_ + 4, length);
    b_[pos_ + 8] = nonResident ? 1 : 0;
    b_[pos_ + 9] = static_cast<uint8_t>(name.size());
    put16(b_, pos_ + 0x0A, nameOffset);
    for (size_t i = 0; i < name.size(); ++i) put16(b_, pos_ + nameOffset + 2 * i, name[i]);
  }

  std::vector<uint8_t>& b_;
  uint64_t at_;
  size_t pos_ = at_ + 0x48;
};

std::vector<uint8_t> standardInformation(uint32_t word) {
  std::vector<uint8_t> v(0x48);
  put32(v, 0x20, word);
  return v;
}

std::vector<uint8_t> fileName(uint64_t parent, const std::u16string& name, uint8_t nameSpace) {
  std::vector<uint8_t> v(0x42 + 2 * name.size());
  put64(v, 0, parent | uint64_t{1} << 48);
  v[0x40] = static_cast<uint8_t>(name.size());
  v[0x41] = nameSpace;
  for (size_t i = 0; i < name.size(); ++i) put16(v, 0x42 + 2 * i, name[i]);
  return v;
}

// An attribute list of one entry: `type` lies in record `holder`.
std::vector<uint8_t> attributeList(uint32_t type, uint64_t holder, uint64_t vcn = 0) {
  std::vector<uint8_t> list(0x20);
  put32(list, 0, type);
  put16(list, 4, 0x20);
  list[7] = 0x1A;
  put64(list, 8, vcn);
  put64(list, 0x10, holder | uint64_t{1} << 48);
  return list;
}

}  // namespace

bool ImageVolume::read(uint64_t offset, size_t length, uint8_t* into) {
  if (offset > image_.size() || length > image_.size() - offset) return false;
  std::memcpy(into, image_.data() + offset, length);
  return true;
}

uint32_t ImageVolume::reportedWord(uint32_t stored, bool directory) const {
  const uint32_t word = stored == 0 ? 0x80 : stored;
  return directory ? word | 0x10 : word;
}

NtfsImage::NtfsImage(uint64_t records) : records_count_((records + 3) / 4 * 4) {
  for (uint64_t r = 0; r < 16; ++r) records_[r] = {true, r == 5 || r == 11, 1, 0x6, 0, false};
  folders_[5];
  folders_[11];
}

uint64_t NtfsImage::newRecord(bool directory, uint32_t word) {
  const uint64_t record = next_++;
  records_[record] = {true, directory, 1, word, 0, false};
  if (directory) folders_[record];
  return record;
}

uint64_t NtfsImage::addFile(uint64_t folder, const std::u16string& name, uint32_t word) {
  const uint64_t record = newRecord(false, word);
  addName(folder, record, name);
  return record;
}

uint64_t NtfsImage::addFolder(uint64_t folder, const std::u16string& name, uint32_t word) {
  const uint64_t record = newRecord(true, word);
  addName(folder, record, name);
  return record;
}

void NtfsImage::addName(uint64_t folder, uint64_t record, const std::u16string& name, uint8_t nameSpace) {
  folders_[folder].root.items.push_back({record, name, nameSpace, -1, 0});
}

void NtfsImage::setReparseTag(uint64_t record, uint32_t tag, bool inExtension) {
  records_[record].tag = tag;
  records_[record].tagInExtension = inExtension;
}

void NtfsImage::setIndex(uint64_t folder, Node root, std::vector<Node> blocks, std::vector<bool> inUse) {
  Folder& f = folders_[folder];
  if (inUse.empty()) inUse.assign(blocks.size(), true);
  f = {std::move(root), std::move(blocks), std::move(inUse)};
}

uint64_t NtfsImage::recordOffset(uint64_t record) const {
  const uint64_t perCluster = CLUSTER / RECORD;
  const uint64_t mftClusters = records_count_ / perCluster;
  const uint64_t half = mftClusters / 2;
  uint64_t cluster = 2 + record / perCluster;
  if (splitTable_ && record / perCluster >= half) cluster += 3;  // past a gap
  return cluster * CLUSTER + record % perCluster * RECORD;
}

uint64_t NtfsImage::firstIndexCluster(uint64_t folder) const {
  uint64_t cluster = 8 + 2 * records_count_ / (CLUSTER / RECORD);
  for (const auto& [number, f] : folders_) {
    if (number == folder) break;
    cluster += f.blocks.size();
  }
  return cluster;
}

uint64_t NtfsImage::blockOffset(uint64_t folder, size_t block) const {
  return (firstIndexCluster(folder) + block) * CLUSTER;
}

std::vector<uint8_t> NtfsImage::build() const {
  const uint64_t mftClusters = records_count_ * RECORD / CLUSTER;
  uint64_t clusters = firstIndexCluster(~uint64_t{0}) + 1;
  std::vector<uint8_t> b(clusters * CLUSTER);
  std::memcpy(&b[3], "NTFS    ", 8);
  put16(b, 0x0B, 512);
  b[0x0D] = CLUSTER / 512;
  put64(b, 0x28, clusters * (CLUSTER / 512));
  put64(b, 0x30, 2);
  b[0x40] = 0xF4;  // 2^12 bytes a record
  b[0x44] = 1;     // a cluster an index block
  put16(b, 0x1FE, 0xAA55);

  // Index entries of one node, from `at`; the index header is at `header`.
  const auto writeNode = [&](const Node& node, size_t header, size_t at, uint64_t folder) {
    const size_t first = at;
    for (const Item& item : node.items) {
      const size_t keyLength = 0x42 + 2 * item.name.size();
      const size_t length = align8(0x10 + keyLength) + (item.subnode >= 0 ? 8 : 0);
      const auto found = records_.find(item.record);
      const uint16_t sequence = item.sequence != 0 ? item.sequence
                                : found != records_.end() ? found->second.sequence : 1;
      put64(b, at, item.record | uint64_t{sequence} << 48);
      put16(b, at + 8, length);
      put16(b, at + 10, keyLength);
      put16(b, at + 12, item.subnode >= 0 ? 1 : 0);
      put64(b, at + 0x10, folder | uint64_t{1} << 48);
      b[at + 0x10 + 0x40] = static_cast<uint8_t>(item.name.size());
      b[at + 0x10 + 0x41] = item.nameSpace;
      for (size_t i = 0; i < item.name.size(); ++i) put16(b, at + 0x10 + 0x42 + 2 * i, item.name[i]);
      if (item.subnode >= 0) put64(b, at + length - 8, static_cast<uint64_t>(item.subnode));
      at += length;
    }
    const size_t endLength = 0x10 + (node.endSubnode >= 0 ? 8 : 0);
    put16(b, at + 8, endLength);
    put16(b, at + 12, 2 | (node.endSubnode >= 0 ? 1 : 0));
    if (node.endSubnode >= 0) put64(b, at + endLength - 8, static_cast<uint64_t>(node.endSubnode));
    at += endLength;
    put32(b, header, first - header);
    put32(b, header + 4, at - header);
    return at;
  };

  // Each record carries the names its folders' indexes give it.
  std::map<uint64_t, std::vector<std::pair<uint64_t, const Item*>>> namesOf;
  for (const auto& [folder, f] : folders_) {
    const auto note = [&, number = folder](const Node& node) {
      for (const Item& item : node.items) {
        if (item.recorded) namesOf[item.record].push_back({number, &item});
      }
    };
    note(f.root);
    for (const Node& block : f.blocks) note(block);
  }
  // Parts of records that live in extension records, taken from the top.
  std::map<uint64_t, uint64_t> extensionOf;
  uint64_t top = records_count_ - 1;
  for (const auto& [number, record] : records_) {
    if (record.tag != 0 && record.tagInExtension) extensionOf[number] = top--;
  }

  for (uint64_t r = 0; r < records_count_; ++r) {
    const auto found = records_.find(r);
    const size_t at = recordOffset(r);
    RecordWriter w(b, at);
    if (found == records_.end()) continue;  // never used: zeros
    const Record& record = found->second;
    w.resident(0x10, u"", standardInformation(record.word));
    if (r == 0) {
      const uint64_t half = splitTable_ ? mftClusters / 2 : mftClusters;
      w.nonResident(0x80, u"", 0, half, records_count_ * RECORD, 2);
      if (splitTable_) {
        w.resident(0x20, u"", attributeList(0x80, 15, half));
      }
    }
    if (r == 3) {
      std::vector<uint8_t> info(12);
      info[8] = 3;
      put16(info, 0x0A, dirty_ ? 1 : 0);
      w.resident(0x70, u"", info);
    }
    if (extensionOf.count(r)) w.resident(0x20, u"", attributeList(0xC0, extensionOf[r]));
    for (const auto& [parent, item] : namesOf[r]) w.resident(0x30, u"", fileName(parent, item->name, item->nameSpace));
    if (record.tag != 0 && !record.tagInExtension) {
      std::vector<uint8_t> data(8);
      put32(data, 0, record.tag);
      w.resident(0xC0, u"", data);
    }
    const auto folder = folders_.find(r);
    if (folder != folders_.end()) {
      const Folder& f = folder->second;
      std::vector<uint8_t> root(0x10 + 0x10 + 0x100 * (f.root.items.size() + 1));
      put32(root, 0, 0x30);
      put32(root, 4, 1);
      put32(root, 8, BLOCK);
      root[0x0C] = 1;
      std::swap(root, b);  // the node writer works on `b`
      const size_t end = writeNode(f.root, 0x10, 0x20, r);
      std::swap(root, b);
      root.resize(end);
      put32(root, 0x18, end - 0x10);
      root[0x1C] = f.blocks.empty() ? 0 : 1;
      w.resident(0x90, u"$I30", root);
      if (!f.blocks.empty()) {
        const uint64_t first = firstIndexCluster(r);
        w.nonResident(0xA0, u"$I30", 0, f.blocks.size(), f.blocks.size() * BLOCK, first);
        std::vector<uint8_t> bitmap(8);
        for (size_t i = 0; i < f.inUse.size(); ++i) {
          if (f.inUse[i]) bitmap[i / 8] = static_cast<uint8_t>(bitmap[i / 8] | 1 << (i % 8));
        }
        w.resident(0xB0, u"$I30", bitmap);
        for (size_t i = 0; i < f.blocks.size(); ++i) {
          const size_t block = blockOffset(r, i);
          std::memcpy(&b[block], "INDX", 4);
          put64(b, block + 0x10, i);
          put32(b, block + 0x18 + 8, BLOCK - 0x18);
          writeNode(f.blocks[i], block + 0x18, block + 0x40, r);
          protect(b, block, BLOCK, 0x28);
        }
      }
    }
    w.finish(r, record.inUse, record.directory, record.sequence, 0);
  }
  for (const auto& [number, extension] : extensionOf) {
    RecordWriter w(b, recordOffset(extension));
    std::vector<uint8_t> data(8);
    put32(data, 0, records_.at(number).tag);
    w.resident(0xC0, u"", data);
    w.finish(extension, true, false, 1, number | uint64_t{records_.at(number).sequence} << 48);
  }
  for (const auto& [base, word] : strays_) {
    RecordWriter w(b, recordOffset(top));
    w.resident(0x10, u"", standardInformation(word));
    w.finish(top--, true, false, 1, base | uint64_t{records_.at(base).sequence} << 48);
  }
  if (splitTable_) {
    const uint64_t half = mftClusters / 2;
    RecordWriter w(b, recordOffset(15));
    w.nonResident(0x80, u"", half, mftClusters - half, 0, 2 + half + 3);
    w.finish(15, true, false, 1, 0 | uint64_t{1} << 48);
  }
  return b;
}

}  // namespace tavrin::test
