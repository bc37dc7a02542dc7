// The mountinfo parser and the choice of NTFS volumes. Raw text must parse
// line by line as a whole; mount tables written from decoded fields (escaped
// as the kernel escapes them) must parse back to those fields; and the chosen
// volumes must be exactly the first whole mount of each NTFS device.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "invariant.h"
#include "platform/posix/posix_mounts.h"

namespace {

using tavrin::MountEntry;

bool same(const MountEntry& a, const MountEntry& b) {
  return a.major == b.major && a.minor == b.minor && a.root == b.root &&
         a.mountPoint == b.mountPoint && a.fsType == b.fsType && a.source == b.source &&
         a.owner == b.owner;
}

std::string escaped(const std::string& field) {
  std::string out;
  for (const char c : field) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\\') {
      const auto u = static_cast<unsigned char>(c);
      out += '\\';
      out += static_cast<char>('0' + (u >> 6));
      out += static_cast<char>('0' + ((u >> 3) & 7));
      out += static_cast<char>('0' + (u & 7));
    } else {
      out += c;
    }
  }
  return out;
}

std::string nonEmpty(FuzzedDataProvider& input, const char* fallback) {
  std::string text = input.ConsumeRandomLengthString(40);
  return text.empty() ? fallback : text;
}

std::vector<MountEntry> writtenTable(FuzzedDataProvider& input, std::string& text) {
  static const char* const TYPES[] = {"ntfs3", "ntfs", "fuseblk", "fuse", "fuse.ntfs-3g",
                                      "ext4", "tmpfs", "fuse.sshfs"};
  std::vector<MountEntry> entries;
  const size_t count = input.ConsumeIntegralInRange<size_t>(0, 12);
  for (size_t i = 0; i < count; ++i) {
    MountEntry e;
    e.major = input.ConsumeIntegralInRange<unsigned>(0, 3);  // few devices: repeats
    e.minor = input.ConsumeIntegralInRange<unsigned>(0, 3);
    e.root = input.ConsumeBool() ? "/" : nonEmpty(input, "/sub");
    e.mountPoint = nonEmpty(input, "/mnt");
    e.fsType = input.ConsumeBool() ? TYPES[input.ConsumeIntegralInRange<size_t>(0, 7)]
                                   : nonEmpty(input, "x");
    e.source = nonEmpty(input, "none");
    // Made by root, by one of two users, or not said.
    const unsigned owner = input.ConsumeIntegralInRange<unsigned>(0, 3);
    if (owner < 3) e.owner = static_cast<uid_t>(owner == 0 ? 0 : 999 + owner);
    text += std::to_string(i + 20) + " 1 " + std::to_string(e.major) + ":" + std::to_string(e.minor) +
            " " + escaped(e.root) + " " + escaped(e.mountPoint) + " rw,relatime";
    for (size_t k = input.ConsumeIntegralInRange<size_t>(0, 2); k > 0; --k) text += " shared:" + std::to_string(k);
    text += " - " + escaped(e.fsType) + " " + escaped(e.source) + " rw";
    if (e.owner) text += ",user_id=" + std::to_string(*e.owner) + ",group_id=0";
    text += "\n";
    entries.push_back(std::move(e));
  }
  return entries;
}

bool ownedBy(const MountEntry& mount, uid_t user) {
  return !mount.owner || *mount.owner == 0 || *mount.owner == user;
}

void checkSelection(const std::vector<MountEntry>& mounts, unsigned key) {
  const uid_t user = key & 1 ? 1000 : 0;
  std::vector<std::string> asked;
  const auto confirm = [&](const MountEntry& mount) {
    // Nothing is asked of another user's mount.
    REQUIRE(ownedBy(mount, user));
    asked.push_back(mount.mountPoint);
    return (mount.mountPoint.size() + key) % 3 != 0;
  };
  const std::vector<MountEntry> chosen = tavrin::selectNtfsVolumes(mounts, confirm, user);
  // Chosen in mount order, each device once, whole volumes of NTFS only.
  size_t at = 0;
  std::set<std::pair<unsigned, unsigned>> devices;
  for (const MountEntry& volume : chosen) {
    while (at < mounts.size() && !same(mounts[at], volume)) ++at;
    REQUIRE(at < mounts.size());
    ++at;
    REQUIRE(volume.root == "/");
    REQUIRE(ownedBy(volume, user));
    const auto kind = tavrin::classifyFileSystem(volume.fsType);
    REQUIRE(kind == tavrin::NtfsKind::Ntfs ||
            (kind == tavrin::NtfsKind::IfBootSector && confirm(volume)));
    REQUIRE(devices.insert({volume.major, volume.minor}).second);
  }
  // Every whole NTFS mount's device is among them.
  for (const MountEntry& mount : mounts) {
    const auto kind = tavrin::classifyFileSystem(mount.fsType);
    const bool ntfs = kind == tavrin::NtfsKind::Ntfs ||
                      (kind == tavrin::NtfsKind::IfBootSector && (mount.mountPoint.size() + key) % 3 != 0);
    if (mount.root == "/" && ntfs && ownedBy(mount, user)) {
      REQUIRE(devices.count({mount.major, mount.minor}) == 1);
    }
  }
  for (const std::string& mountPoint : asked) REQUIRE(!mountPoint.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const unsigned key = input.ConsumeIntegral<uint8_t>();
  std::vector<MountEntry> mounts;
  if (input.ConsumeBool()) {
    std::string text;
    const std::vector<MountEntry> written = writtenTable(input, text);
    mounts = tavrin::parseMountInfo(text);
    REQUIRE(mounts.size() == written.size());
    for (size_t i = 0; i < written.size(); ++i) REQUIRE(same(mounts[i], written[i]));
  } else {
    const std::string text = input.ConsumeRemainingBytesAsString();
    mounts = tavrin::parseMountInfo(text);
    // The same as parsing line by line.
    std::vector<MountEntry> byLine;
    size_t start = 0;
    while (start < text.size()) {
      const size_t end = text.find('\n', start);
      const std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
      if (auto entry = tavrin::parseMountInfoLine(line)) byLine.push_back(*entry);
      start = end == std::string::npos ? text.size() : end + 1;
    }
    REQUIRE(byLine.size() == mounts.size());
    for (size_t i = 0; i < mounts.size(); ++i) {
      REQUIRE(same(byLine[i], mounts[i]));
      REQUIRE(!mounts[i].root.empty() && !mounts[i].mountPoint.empty() && !mounts[i].fsType.empty());
    }
  }
  checkSelection(mounts, key);
  return 0;
}
