// The file-table reader on damaged volumes: a small volume made in memory,
// then bytes of it overwritten as the input says (with the update sequence
// made whole again or not, so damage reaches past the fixup check). Checks,
// besides the sanitizers and the time limit (no loop): a load that fails
// says why; a table that loads names only records in use, outside the
// volume's own; and a whole listall of the volume's folder ends, reading the
// table or walking, with records only of that folder.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "invariant.h"
#include "ntfs_image.h"
#include "ntfs/table.h"

namespace {

using tavrin::test::NtfsImage;


NtfsImage volume(FuzzedDataProvider& input) {
  NtfsImage image(36);
  if (input.ConsumeBool()) image.splitTable();
  const uint64_t d = image.addFolder(5, u"d");
  const uint64_t sub = image.addFolder(d, u"sub");
  image.addFile(d, u"a", 0x3127);
  const uint64_t b = image.addFile(sub, u"b", 0x20);
  image.addName(d, b, u"B~1", 2);
  const uint64_t link = image.addFile(d, u"link", 0x420);
  image.setReparseTag(link, 0xA000000C, input.ConsumeBool());
  const uint64_t big = image.addFolder(d, u"big");
  std::vector<NtfsImage::Node> blocks(3);
  for (int i = 0; i < 12; ++i) {
    const std::u16string name = u"n" + std::u16string(1, static_cast<char16_t>(u'a' + i));
    blocks[static_cast<size_t>(i % 3)].items.push_back({image.addFile(d, name), name, 1, -1, 0});
  }
  image.rootOf(d).items.resize(5);  // those files live in big only
  image.setIndex(big, {{}, 0}, blocks, {true, input.ConsumeBool(), true});
  return image;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const tavrin::ListingOrder order =
      input.ConsumeBool() ? tavrin::ListingOrder::Collation : tavrin::ListingOrder::IndexBlocks;
  NtfsImage image = volume(input);
  std::vector<uint8_t> bytes = image.build();
  const size_t patches = input.ConsumeIntegralInRange<size_t>(0, 16);
  for (size_t i = 0; i < patches && input.remaining_bytes() > 0; ++i) {
    // Mostly inside the table and the index blocks, where the reader looks.
    const bool record = input.ConsumeBool();
    const size_t base = record ? image.recordOffset(input.ConsumeIntegralInRange<uint64_t>(0, 35))
                               : input.ConsumeIntegralInRange<size_t>(0, bytes.size() - 1);
    const size_t at = std::min(bytes.size() - 1, base + input.ConsumeIntegralInRange<size_t>(0, 4095));
    const std::vector<uint8_t> value = input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(1, 8));
    for (size_t k = 0; k < value.size() && at + k < bytes.size(); ++k) bytes[at + k] = value[k];
    if (record && input.ConsumeBool()) {
      // Whole again: each stride ends with the sequence number.
      for (size_t s = 1; s <= NtfsImage::RECORD / 512; ++s) {
        bytes[base + s * 512 - 2] = bytes[base + 0x32];
        bytes[base + s * 512 - 1] = bytes[base + 0x33];
      }
    }
  }

  // The memory a run would let the table take on a small machine: no
  // claimed size may make the load ask for more than that.
  constexpr uint64_t BUDGET = 64 << 20;
  tavrin::test::ImageVolume reader(bytes);
  tavrin::FileTable table;
  std::string why;
  if (!table.load(reader, order, why, {}, BUDGET)) {
    REQUIRE(!why.empty());
    REQUIRE(table.recordCount() == 0);
  } else {
    for (uint64_t folder = 0; folder < table.recordCount(); ++folder) {
      for (const tavrin::TableEntry& entry : table.entries(folder)) {
        REQUIRE(entry.record >= tavrin::FIRST_USER_RECORD && table.inUse(entry.record));
        REQUIRE(!entry.name.empty());
      }
    }
  }

  tavrin::test::FakePlatform fs;
  fs.addSystemDrive();
  fs.addDir(L"C:\\d");
  tavrin::test::FakePlatform::Table fake;
  fake.image = bytes;
  fake.rootRecord = 16;
  fake.order = order;
  fake.memoryBudget = BUDGET;
  fs.setTable(L"C:\\d", fake);
  tavrin::test::runTool(fs, {L"listall", L"C:\\d"});
  const std::string records = fs.contentOf(tavrin::test::kToolFolder + L"1000allFiles.txt");
  for (size_t at = records.find('\n'); at != std::string::npos; at = records.find('\n', at + 1)) {
    const size_t path = records.find(", ", at);
    REQUIRE(path != std::string::npos && records.compare(path + 2, 5, "C:\\d\\") == 0);
  }
  return 0;
}
