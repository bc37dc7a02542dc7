#include "ntfs/format.h"

#include <cstring>

#include "platform/text.h"

namespace tavrin {
namespace {

// A size given as clusters (positive) or as a power of two (negative).
uint64_t sizeFromClusters(uint8_t raw, uint32_t clusterSize) {
  const auto v = static_cast<int8_t>(raw);
  if (v > 0) return uint64_t{static_cast<uint8_t>(v)} * clusterSize;
  if (v < -31 || v == 0) return 0;
  return uint64_t{1} << -v;
}

void readName(const uint8_t* at, size_t length, std::u16string& buffer) {
  buffer.resize(length);
  for (size_t i = 0; i < length; ++i) buffer[i] = static_cast<char16_t>(u16(at + 2 * i));
}

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
    // No more runs than the volume has clusters: a list that claims more
    // repeats itself.
    if (runs.size() >= totalClusters) return false;
    runs.push_back(run);
    vcn += length;
  }
  return at < size;  // the closing zero byte
}

uint64_t allocatedClusters(const std::vector<Run>& runs) {
  uint64_t clusters = 0;
  for (const Run& run : runs) {
    if (run.lcn != SPARSE_RUN) clusters += run.length;
  }
  return clusters;
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

long decodeAttribute(const uint8_t* record, size_t used, size_t at, Attribute& attribute,
                     std::u16string& nameBuffer) {
  if (at + 4 > used) return -1;
  const uint8_t* a = record + at;
  const uint32_t type = u32(a);
  if (type == AT_END) return 0;
  if (at + 16 > used) return -1;
  const uint32_t length = u32(a + 4);
  if (length < 16 || length % 8 != 0 || length > used - at) return -1;
  attribute = Attribute();
  attribute.type = type;
  attribute.raw = a;
  attribute.rawLength = length;
  attribute.nonResident = a[8] != 0;
  const size_t nameLength = a[9];
  const size_t nameOffset = u16(a + 0x0A);
  if (nameLength != 0) {
    if (nameOffset + 2 * nameLength > length) return -1;
    readName(a + nameOffset, nameLength, nameBuffer);
    attribute.name = nameBuffer;
  }
  if (!attribute.nonResident) {
    if (length < 0x18) return -1;
    const uint32_t valueLength = u32(a + 0x10);
    const size_t valueOffset = u16(a + 0x14);
    if (valueOffset > length || valueLength > length - valueOffset) return -1;
    attribute.value = a + valueOffset;
    attribute.valueLength = valueLength;
  } else {
    if (length < 0x40) return -1;
    attribute.startVcn = u64(a + 0x10);
    const size_t pairsOffset = u16(a + 0x20);
    if (pairsOffset < 0x40 || pairsOffset > length) return -1;
    attribute.dataSize = u64(a + 0x30);
    attribute.pairs = a + pairsOffset;
    attribute.pairsLength = length - pairsOffset;
  }
  return static_cast<long>(length);
}

bool parseAttributeList(const uint8_t* list, size_t size, std::vector<ListEntry>& entries) {
  for (size_t at = 0; at < size;) {
    if (size - at < 0x1A) return false;
    const uint8_t* e = list + at;
    const size_t length = u16(e + 4);
    if (length < 0x1A || length % 8 != 0 || length > size - at) return false;
    entries.push_back({u32(e), u64(e + 0x10) & RECORD_MASK, u64(e + 8)});
    at += length;
  }
  return true;
}

bool parseFileName(const uint8_t* value, size_t size, FileName& name, std::u16string& buffer) {
  if (size < 0x42) return false;
  const size_t length = value[0x40];
  if (length == 0 || 0x42 + 2 * length > size) return false;
  const uint64_t parent = u64(value);
  name.parent = parent & RECORD_MASK;
  name.parentSequence = static_cast<uint16_t>(parent >> 48);
  name.nameSpace = value[0x41];
  readName(value + 0x42, length, buffer);
  name.name = buffer;
  return true;
}

uint32_t nameKey(uint64_t parent, std::u16string_view name) {
  uint64_t h = digest(reinterpret_cast<const uint8_t*>(&parent), sizeof parent, DIGEST_SEED);
  for (const char16_t c : name) {
    const uint8_t unit[2] = {static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8)};
    h = digest(unit, 2, h);
  }
  return static_cast<uint32_t>(h ^ (h >> 32));
}

uint64_t digest(const uint8_t* bytes, size_t size, uint64_t seed) {
  uint64_t h = seed;
  for (size_t i = 0; i < size; ++i) {
    h ^= bytes[i];
    h *= 0x100000001b3ull;
  }
  return h;
}

}  // namespace tavrin
