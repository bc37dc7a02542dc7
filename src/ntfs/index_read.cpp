// The second pass of a load: every folder's index blocks, in the order they
// lie on the volume, each folder's entries in the order its driver lists
// them. A folder counts only when what its listing depends on reads the
// same twice: its records (index root, allocation, bitmap, attribute list)
// read again after its blocks, then its blocks read again. Whatever changed
// in between leaves the folder to be listed through the system.
#include <algorithm>
#include <cstring>

#include "ntfs/loader.h"

namespace tavrin {
namespace {

// How far ahead of their reading the folders' index blocks are asked for.
constexpr uint64_t INDEX_PREFETCH = 4 << 20;
constexpr uint32_t COLLATION_FILE_NAME = 1;
constexpr uint16_t INDEX_ENTRY_NODE = 0x1;
constexpr uint16_t INDEX_ENTRY_END = 0x2;
// Deeper than any index a volume can hold: a deeper one loops.
constexpr int MAX_INDEX_DEPTH = 64;
// Neighbouring blocks are read together, up to this many.
constexpr uint64_t MAX_SPAN = 256;

class IndexReader {
 public:
  explicit IndexReader(LoadContext& context) : c_(context), t_(context.table) {}

  bool run() {
    std::vector<std::pair<uint64_t, uint64_t>> order;  // first cluster, folder
    for (auto& [folder, index] : c_.folders) {
      std::sort(index.allocation.begin(), index.allocation.end(),
                [](const Run& a, const Run& b) { return a.vcn < b.vcn; });
      const uint64_t first = index.allocation.empty() ? 0 : index.allocation.front().lcn;
      order.push_back({first, folder});
    }
    std::sort(order.begin(), order.end());
    reserveNames();
    std::vector<char16_t> packed;
    size_t ahead = 0;    // the next folder whose index to ask for
    uint64_t asked = 0;  // bytes asked for ahead, and read since
    uint64_t reached = 0;
    for (const auto& [first, folder] : order) {
      for (; ahead < order.size() && asked < reached + INDEX_PREFETCH; ++ahead) {
        const FolderIndex& next = c_.folders[order[ahead].second];
        const uint64_t size = std::min(next.allocationSize, allocatedClusters(next.allocation) * c_.boot.clusterSize);
        c_.prefetchStream(next.allocation, 0, size);
        asked += size;
      }
      FolderIndex& index = c_.folders[folder];
      reached += index.allocationSize;
      // A view index of the volume's own files, or what is left of a
      // record no longer in use, lists nothing.
      if (!(t_.kinds[folder] & TableData::IN_USE) || !(t_.kinds[folder] & TableData::DIRECTORY)) continue;
      packed.clear();
      const Doubt doubt = readFolder(folder, index, packed);
      if (!c_.why.empty()) return false;  // stopped
      if (doubt != Doubt::None) {
        t_.doubts.push_back({folder, doubt});
      } else {
        t_.listings.push_back({folder, t_.names.size(), t_.names.size() + packed.size()});
        t_.names.insert(t_.names.end(), packed.begin(), packed.end());
      }
      t_.kinds[folder] |= TableData::LISTED;
      index = FolderIndex();  // its bytes are no longer needed
    }
    c_.folders.clear();
    std::sort(t_.listings.begin(), t_.listings.end(),
              [](const TableData::Listing& a, const TableData::Listing& b) { return a.folder < b.folder; });
    std::sort(t_.doubts.begin(), t_.doubts.end());
    // No shrink_to_fit: the capacity never written to costs no memory, and
    // the copy it would make costs as much again as the names themselves.
    return true;
  }

 private:
  // An entry packed takes no more bytes than it takes in its index, so the
  // indexes' size bounds the names: room made once, the names are never
  // copied to a larger array (which would hold them twice for a moment), and
  // the room never written to costs no memory.
  void reserveNames() {
    uint64_t bytes = 0;
    for (const auto& [folder, index] : c_.folders) {
      bytes += index.root.size() +
               std::min(index.allocationSize, allocatedClusters(index.allocation) * c_.boot.clusterSize);
    }
    if (c_.affords(bytes)) t_.names.reserve(static_cast<size_t>(bytes / 2));
  }

  Doubt readFolder(uint64_t folder, FolderIndex& index, std::vector<char16_t>& out) {
    const std::vector<uint8_t>& root = index.root;
    if (root.size() < 0x20 || u32(root.data()) != 0x30 || u32(root.data() + 4) != COLLATION_FILE_NAME) {
      return Doubt::Damaged;
    }
    blockSize_ = u32(root.data() + 8);
    if (!isPowerOfTwo(blockSize_) || blockSize_ < FIXUP_STRIDE || blockSize_ > 65536) return Doubt::Damaged;
    vcnUnit_ = blockSize_ >= c_.boot.clusterSize ? c_.boot.clusterSize : FIXUP_STRIDE;
    // A claimed size is believed only as far as clusters back it.
    const uint64_t backed = allocatedClusters(index.allocation) * c_.boot.clusterSize;
    if (index.allocationSize > backed) return Doubt::Damaged;
    const uint64_t blocks = index.allocation.empty() ? 0 : index.allocationSize / blockSize_;
    if (index.bitmapNonResident) {
      std::sort(index.bitmapRuns.begin(), index.bitmapRuns.end(),
                [](const Run& a, const Run& b) { return a.vcn < b.vcn; });
      if (index.bitmapSize > allocatedClusters(index.bitmapRuns) * c_.boot.clusterSize ||
          index.bitmapSize > blocks / 8 + 8) {
        return Doubt::Damaged;
      }
      index.bitmap.resize(index.bitmapSize);
      if (!c_.readStream(index.bitmapRuns, 0, index.bitmap.size(), index.bitmap.data())) return Doubt::Damaged;
    }
    // Its blocks, and their second reading.
    if (!c_.affords(2 * blocks * blockSize_)) return Doubt::TooLarge;
    blocks_.assign(static_cast<size_t>(blocks) * blockSize_, 0);
    inUse_.assign(static_cast<size_t>(blocks), false);
    for (uint64_t i = 0; i < blocks && i / 8 < index.bitmap.size(); ++i) {
      inUse_[i] = (index.bitmap[i / 8] >> (i % 8)) & 1;
    }
    const Doubt read = readBlocks(index, blocks_);
    if (read != Doubt::None || !c_.why.empty()) return read;
    const Doubt same = readsTheSame(folder, index);
    if (same != Doubt::None) return same;
    const uint8_t* rootHeader = root.data() + 0x10;
    const size_t rootAvailable = root.size() - 0x10;
    if (c_.order == ListingOrder::IndexBlocks) {
      if (!takeEntries(rootHeader, rootAvailable, out, nullptr)) return Doubt::Damaged;
      for (uint64_t b = 0; b < blocks; ++b) {
        if (inUse_[b] && !takeEntries(blocks_.data() + b * blockSize_ + 0x18, blockSize_ - 0x18, out, nullptr)) {
          return Doubt::Damaged;
        }
      }
      return Doubt::None;
    }
    visited_.assign(static_cast<size_t>(blocks), false);
    return takeEntries(rootHeader, rootAvailable, out, &depthZero_) ? Doubt::None : Doubt::Damaged;
  }

  // The blocks in use, read in runs of neighbours, into `into`.
  Doubt readBlocks(const FolderIndex& index, std::vector<uint8_t>& into) {
    const uint64_t blocks = inUse_.size();
    for (uint64_t i = 0; i < blocks;) {
      if (!inUse_[i]) {
        ++i;
        continue;
      }
      uint64_t end = i + 1;
      while (end < blocks && inUse_[end] && end - i < MAX_SPAN) ++end;
      uint8_t* at = into.data() + i * blockSize_;
      if (!c_.readStream(index.allocation, i * blockSize_, (end - i) * blockSize_, at)) return Doubt::Damaged;
      for (uint64_t b = i; b < end; ++b) {
        uint8_t* block = into.data() + b * blockSize_;
        if (std::memcmp(block, "INDX", 4) != 0 || !applyFixups(block, blockSize_) ||
            u64(block + 0x10) != b * blockSize_ / vcnUnit_) {
          return Doubt::Damaged;
        }
      }
      if (&into == &blocks_ && !c_.advance((end - i) * blockSize_)) return Doubt::None;
      i = end;
    }
    return Doubt::None;
  }

  // The folder's records, then its blocks, read again: any difference means
  // the index changed while it was read, and its entries may miss files.
  Doubt readsTheSame(uint64_t folder, const FolderIndex& index) {
    uint64_t digest = DIGEST_SEED;
    for (size_t i = 0; i <= index.extensions.size(); ++i) {
      const uint64_t number = i == 0 ? folder : index.extensions[i - 1];
      if (!c_.readRecord(number, record_) || !(u16(record_.data() + 0x16) & 1) ||
          (u64(record_.data() + 0x20) & RECORD_MASK) != (i == 0 ? 0 : folder)) {
        return Doubt::Changed;
      }
      const size_t used = std::min<size_t>(u32(record_.data() + 0x18), record_.size());
      digest = LoadContext::foldIndexAttributes(record_.data(), used, digest);
    }
    if (digest != index.digest) return Doubt::Changed;
    if (index.bitmapNonResident) {
      again_.resize(index.bitmap.size());
      if (!c_.readStream(index.bitmapRuns, 0, again_.size(), again_.data()) || again_ != index.bitmap) {
        return Doubt::Changed;
      }
    }
    again_.assign(blocks_.size(), 0);
    if (readBlocks(index, again_) != Doubt::None || again_ != blocks_) return Doubt::Changed;
    return Doubt::None;
  }

  // The entries of one index node. With `depth`, each entry's subnode comes
  // first (collation order); without, subnodes are not followed.
  bool takeEntries(const uint8_t* header, size_t available, std::vector<char16_t>& out, const int* depth) {
    if (available < 16) return false;
    const size_t first = u32(header);
    const size_t end = u32(header + 4);
    if (first < 16 || first > end || end > available) return false;
    for (size_t at = first;;) {
      if (at + 16 > end) return false;
      const uint8_t* e = header + at;
      const size_t length = u16(e + 8);
      const size_t keyLength = u16(e + 10);
      const uint16_t flags = u16(e + 12);
      if (length < 16 || length % 8 != 0 || at + length > end) return false;
      if (depth && (flags & INDEX_ENTRY_NODE)) {
        if (length < 24 || *depth >= MAX_INDEX_DEPTH) return false;
        const uint64_t vcn = u64(e + length - 8);
        if (vcn > (uint64_t{1} << 40)) return false;
        const uint64_t block = vcn * vcnUnit_ / blockSize_;
        if (vcn * vcnUnit_ % blockSize_ != 0 || block >= inUse_.size() || !inUse_[block] || visited_[block]) {
          return false;
        }
        visited_[block] = true;
        const int deeper = *depth + 1;
        if (!takeEntries(blocks_.data() + block * blockSize_ + 0x18, blockSize_ - 0x18, out, &deeper)) {
          return false;
        }
      }
      if (flags & INDEX_ENTRY_END) return true;
      if (keyLength < 0x42 || 16 + keyLength > length) return false;
      const uint8_t* key = e + 16;
      const size_t nameLength = key[0x40];
      if (0x42 + 2 * nameLength > keyLength || nameLength == 0) return false;
      if (key[0x41] != DOS_NAMESPACE) {
        const uint64_t reference = u64(e);
        const size_t start = out.size();
        for (int shift = 0; shift < 64; shift += 16) out.push_back(static_cast<char16_t>(reference >> shift));
        out.push_back(static_cast<char16_t>(nameLength));
        for (size_t i = 0; i < nameLength; ++i) out.push_back(static_cast<char16_t>(u16(key + 0x42 + 2 * i)));
        // No listing holds "." or ".." as a name of its own: only a damaged
        // index does, and it must not lead to another folder.
        const std::u16string_view name(out.data() + start + 5, nameLength);
        if ((name == u"." || name == u"..") && (reference & RECORD_MASK) >= FIRST_USER_RECORD) return false;
      }
      at += length;
    }
  }

  LoadContext& c_;
  TableData& t_;
  // The folder being read: its blocks, which are in use, which were visited.
  uint32_t blockSize_ = 0;
  uint32_t vcnUnit_ = 0;
  std::vector<uint8_t> blocks_;
  std::vector<uint8_t> again_;
  std::vector<uint8_t> record_;
  std::vector<bool> inUse_;
  std::vector<bool> visited_;
  const int depthZero_ = 0;
};

}  // namespace

bool readIndexes(LoadContext& context) { return IndexReader(context).run(); }

}  // namespace tavrin
