// The NTFS on-disk format, decoded by pure functions over byte buffers: the
// boot sector, the update sequence of multi-sector records, the mapping
// pairs of non-resident attributes, a record's attributes, attribute lists
// and the names of $FILE_NAME. No system calls; every length is checked
// against the buffer it lies in, so any bytes at all may be handed in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tavrin {

// Records below this number are the volume's own files, never listed.
inline constexpr uint64_t FIRST_USER_RECORD = 16;
inline constexpr uint64_t ROOT_RECORD = 5;
inline constexpr uint64_t EXTEND_RECORD = 11;
// A file reference: the record number below, its sequence number above.
inline constexpr uint64_t RECORD_MASK = 0xFFFFFFFFFFFFull;

// Reparse tags with this bit stand for another place (links, junctions,
// mount points); other tagged entries hold their data elsewhere (cloud, WOF).
inline constexpr uint32_t NAME_SURROGATE_TAG_BIT = 0x20000000;

inline constexpr uint32_t AT_STANDARD_INFORMATION = 0x10;
inline constexpr uint32_t AT_ATTRIBUTE_LIST = 0x20;
inline constexpr uint32_t AT_FILE_NAME = 0x30;
inline constexpr uint32_t AT_VOLUME_INFORMATION = 0x70;
inline constexpr uint32_t AT_DATA = 0x80;
inline constexpr uint32_t AT_INDEX_ROOT = 0x90;
inline constexpr uint32_t AT_INDEX_ALLOCATION = 0xA0;
inline constexpr uint32_t AT_BITMAP = 0xB0;
inline constexpr uint32_t AT_REPARSE_POINT = 0xC0;
inline constexpr uint32_t AT_END = 0xFFFFFFFF;

// The update sequence protects the last two bytes of every such stride.
inline constexpr size_t FIXUP_STRIDE = 512;
inline constexpr uint8_t DOS_NAMESPACE = 2;

inline uint16_t u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t u32(const uint8_t* p) { return u16(p) | uint32_t{u16(p + 2)} << 16; }
inline uint64_t u64(const uint8_t* p) { return u32(p) | uint64_t{u32(p + 4)} << 32; }
inline bool isPowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

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
// The clusters the runs back with data (sparse runs excluded).
uint64_t allocatedClusters(const std::vector<Run>& runs);

// The name as UTF-8, as a Linux driver shows it; false when it cannot be
// shown as a name (a lone surrogate, a NUL or a slash).
bool nameToUtf8(std::u16string_view name, std::string& out);

// One attribute of a record, bounds checked against the record. `raw` is
// the whole attribute, header included, as it lies in the record.
struct Attribute {
  uint32_t type = 0;
  bool nonResident = false;
  std::u16string_view name;
  const uint8_t* raw = nullptr;
  size_t rawLength = 0;
  const uint8_t* value = nullptr;  // resident value
  size_t valueLength = 0;
  uint64_t startVcn = 0;           // non-resident
  uint64_t dataSize = 0;           // non-resident, at VCN 0
  const uint8_t* pairs = nullptr;
  size_t pairsLength = 0;
};

// Decodes the attribute at `at` of a record whose first `used` bytes are
// valid. Returns its length, 0 at the end marker, or -1 when malformed.
// `nameBuffer` holds the name the attribute's view points into.
long decodeAttribute(const uint8_t* record, size_t used, size_t at, Attribute& attribute,
                     std::u16string& nameBuffer);

// Walks a record's attributes; false when one is malformed or `visit`
// returns false.
template <typename Visit>
bool forEachAttribute(const uint8_t* record, size_t used, Visit visit) {
  if (used < 0x18) return false;
  std::u16string nameBuffer;
  for (size_t at = u16(record + 0x14);;) {
    Attribute attribute;
    const long length = decodeAttribute(record, used, at, attribute, nameBuffer);
    if (length < 0) return false;
    if (length == 0) return true;
    if (!visit(attribute)) return false;
    at += static_cast<size_t>(length);
  }
}

inline bool isI30(const Attribute& a) { return a.name == u"$I30"; }

// One entry of an attribute list: which record holds which attribute.
struct ListEntry {
  uint32_t type = 0;
  uint64_t record = 0;  // without its sequence number
  uint64_t startVcn = 0;
};
// False when the list is malformed.
bool parseAttributeList(const uint8_t* list, size_t size, std::vector<ListEntry>& entries);

// A $FILE_NAME value (in a record, or as an index entry's key).
struct FileName {
  uint64_t parent = 0;  // the parent folder's record
  uint16_t parentSequence = 0;
  uint8_t nameSpace = 0;
  std::u16string_view name;
};
bool parseFileName(const uint8_t* value, size_t size, FileName& name, std::u16string& buffer);

// A short fingerprint of a name in its folder, for telling whether an index
// entry and the record it names agree. Names compare as stored.
uint32_t nameKey(uint64_t parent, std::u16string_view name);

// A 64-bit digest of bytes, chained through `seed` (FNV-1a): for telling
// whether what was read once reads the same again.
uint64_t digest(const uint8_t* bytes, size_t size, uint64_t seed);
inline constexpr uint64_t DIGEST_SEED = 0xcbf29ce484222325ull;

}  // namespace tavrin
