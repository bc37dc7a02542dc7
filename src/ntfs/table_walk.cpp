// A directory root read from its volume's file table instead of walked
// through the system: the walk's records, in the walk's order, for a fraction
// of the system calls. The table decides only what the walk's listing would
// show; whatever a command reads to act on, or writes, still goes through
// the system. Anything the table cannot vouch for makes the root walked.
#include <algorithm>
#include <new>
#include <unordered_set>

#include "ntfs/table.h"
#include "platform/text.h"
#include "scan_job.h"

namespace tavrin {
namespace {

// What the table shows of a tree, checked before its first record.
struct TreeCheck {
  std::wstring why;  // empty when the tree can be emitted
  std::unordered_set<uint64_t> notEntered;  // folders another volume is mounted on
};

// The entry's name as the system's listing gives it, or false.
bool wideName(std::u16string_view name, std::string& bytes, std::wstring& wide) {
  if (!nameToUtf8(name, bytes)) return false;
  assignWide(wide, bytes);
  return true;
}

// The record of the folder `relative` (components joined by `sep`) below
// `folder`, looked up name by name; 0 when the table has none.
uint64_t findFolder(const FileTable& table, uint64_t folder, const std::wstring& relative, wchar_t sep) {
  std::string bytes;
  std::wstring wide;
  for (size_t at = 0; at <= relative.size() && folder != 0;) {
    size_t end = relative.find(sep, at);
    if (end == std::wstring::npos) end = relative.size();
    const std::wstring part = relative.substr(at, end - at);
    at = end + 1;
    if (part.empty()) continue;
    uint64_t found = 0;
    for (const TableEntry& entry : table.entries(folder)) {
      if (wideName(entry.name, bytes, wide) && wide == part) found = entry.record;
    }
    folder = found != 0 && table.isDirectory(found) ? found : 0;
  }
  return folder;
}

// Every folder of the tree once (a folder met twice means a cycle or a
// damaged index), every name showable, every path within the limit.
TreeCheck checkTree(const FileTable& table, const RawVolume& volume, const std::wstring& root, wchar_t sep) {
  TreeCheck check;
  if (!table.inUse(volume.rootRecord) || !table.isDirectory(volume.rootRecord)) {
    check.why = L"the folder is not in the file table";
    return check;
  }
  for (const std::wstring& relative : volume.mountPoints) {
    const uint64_t record = findFolder(table, volume.rootRecord, relative, sep);
    if (record == 0) {
      check.why = L"a mount point inside it is not in the file table";
      return check;
    }
    check.notEntered.insert(record);
  }
  std::unordered_set<uint64_t> seen{volume.rootRecord};
  std::vector<std::pair<uint64_t, size_t>> pending{{volume.rootRecord, toBytes(root).size()}};
  std::string bytes;
  while (!pending.empty()) {
    const auto [folder, length] = pending.back();
    pending.pop_back();
    for (const TableEntry& entry : table.entries(folder)) {
      if (!nameToUtf8(entry.name, bytes)) {
        check.why = L"a name the file table holds is not shown as it stands";
        return check;
      }
      const size_t childLength = length + 1 + bytes.size();
      if (volume.fallbackPath != 0 && childLength >= volume.fallbackPath) {
        check.why = L"a path in it is too long for the system";
        return check;
      }
      const uint32_t tag = table.reparseTag(entry.record);
      // A doubted folder is listed through the system, as the walk lists it.
      if (!table.isDirectory(entry.record) || (tag & NAME_SURROGATE_TAG_BIT) ||
          check.notEntered.count(entry.record) || table.doubt(entry.record) != Doubt::None) {
        continue;
      }
      if (!seen.insert(entry.record).second) {
        check.why = L"a folder appears twice in the file table";
        return check;
      }
      pending.push_back({entry.record, childLength});
    }
  }
  return check;
}

// Why a folder inside the tree is listed through the system, for the summary.
std::wstring doubtText(Doubt doubt) {
  switch (doubt) {
    case Doubt::Changed:
      return L"it changed while its file table was read";
    case Doubt::Damaged:
      return L"its index in the file table is damaged";
    case Doubt::TooLarge:
      return L"not enough memory for its index";
    case Doubt::Disagrees:
      return L"its index and its files disagree";
    case Doubt::None:
      break;
  }
  return {};
}

// How many folders walked inside a table's tree the summary names.
constexpr size_t WALKED_FOLDERS_NAMED = 5;

// True when every entry of the root that the system gives a record for has
// that record in the table too: the bytes read are the mounted volume's.
bool sameRecords(const FileTable& table, const RawVolume& volume) {
  const std::vector<ListedRecord> listed = volume.rootRecords();
  if (listed.empty()) return true;
  std::vector<std::pair<std::wstring, uint64_t>> records;  // the few the system gave, by name
  for (const ListedRecord& entry : listed) records.push_back({entry.name, entry.record & RECORD_MASK});
  std::sort(records.begin(), records.end());
  std::string bytes;
  std::wstring name;
  for (const TableEntry& entry : table.entries(volume.rootRecord)) {
    if (!wideName(entry.name, bytes, name)) continue;
    const auto it = std::lower_bound(records.begin(), records.end(), std::make_pair(name, uint64_t{0}));
    if (it != records.end() && it->first == name && it->second != entry.record) return false;
  }
  return true;
}

// One folder of the tree being emitted.
struct Level {
  uint64_t record;
  size_t pathLength;  // its path's length in the walk's path buffer
  std::vector<TableEntry> entries;
  size_t next = 0;
};

}  // namespace

bool ScanJob::readTable(std::wstring& root) {
  FileTable table;
  std::unique_ptr<RawVolume> volume;
  std::unordered_set<uint64_t> notEntered;
  // Memory that runs out before the first record leaves the root to the
  // walk, which needs next to none.
  try {
    if (!openTable(root, volume, table, notEntered)) return false;
  } catch (const std::bad_alloc&) {
    tablePercent_ = -1;
    table = FileTable();
    counts_.walkedInstead.push_back(root + L": not enough memory");
    return false;
  }
  if (interrupted_) return true;
  counts_.tableRoots.push_back(root);
  emitTable(root, *volume, table, notEntered);
  return true;
}

// The table of the root's volume, loaded and checked against what the system
// shows; false, with the reason noted, when the root is to be walked. True
// also when a stop came while it loaded.
bool ScanJob::openTable(std::wstring& root, std::unique_ptr<RawVolume>& volume, FileTable& table,
                        std::unordered_set<uint64_t>& notEntered) {
  std::wstring why;
  volume = platform_.openRawVolume(root, why);
  if (!volume) {
    if (!why.empty()) counts_.walkedInstead.push_back(root + L": " + why);
    return false;
  }
  std::string reason;
  tablePercent_ = 0;
  const auto progress = [&](uint64_t done, uint64_t total) {
    if (!betweenEntries()) return false;
    const int percent = total == 0 ? 0 : static_cast<int>(std::min<uint64_t>(99, done * 100 / total));
    tablePercent_ = std::max(tablePercent_, percent);
    catchUpWithClock();
    return true;
  };
  const bool loaded = table.load(*volume, volume->order, reason, progress, volume->memoryBudget);
  tablePercent_ = -1;
  if (interrupted_) return true;
  std::vector<uint64_t> changed;
  if (loaded && !volume->changedFolders(changed)) {
    counts_.walkedInstead.push_back(root + L": the volume's change journal lost track of its changes");
    return false;
  }
  for (const uint64_t folder : changed) table.doubtFolder(folder, Doubt::Changed);
  TreeCheck check;
  if (loaded && table.doubt(volume->rootRecord) != Doubt::None) {
    check.why = doubtText(table.doubt(volume->rootRecord));
  } else if (loaded) {
    check = checkTree(table, *volume, root, platform_.separator());
  }
  if (!loaded || !check.why.empty()) {
    counts_.walkedInstead.push_back(root + L": " + (loaded ? check.why : toWide(reason)));
    return false;
  }
  bool rootListed = false;
  if (!listsAsTable(root, table.entries(volume->rootRecord), rootListed)) {
    // A root the system cannot list is walked, and the walk says why.
    if (rootListed) counts_.walkedInstead.push_back(root + L": the system lists it otherwise than its file table");
    return false;
  }
  if (!sameRecords(table, *volume)) {
    counts_.walkedInstead.push_back(root + L": its device holds another volume than the one mounted there");
    return false;
  }
  notEntered = std::move(check.notEntered);
  return true;
}

// The tree in the walk's order, each folder as the table lists it, each
// file handed to the rule with its word from the table, or read through the
// system where the rule acts on it.
void ScanJob::emitTable(std::wstring& root, const RawVolume& volume, const FileTable& table,
                        const std::unordered_set<uint64_t>& notEntered) {
  const wchar_t sep = platform_.separator();
  std::wstring& path = root;  // the walk's one path buffer
  const size_t rootLength = path.size();
  std::vector<Level> levels;
  std::vector<TableStep> steps;
  levels.push_back({volume.rootRecord, rootLength, table.entries(volume.rootRecord)});
  steps.push_back({rootLength, volume.rootRecord});
  std::string bytes;
  std::wstring name;
  size_t foldersWalked = 0;
  while (!levels.empty() && !interrupted_) {
    Level& level = levels.back();
    if (level.next == level.entries.size()) {
      levels.pop_back();
      steps.pop_back();
      continue;
    }
    const TableEntry entry = level.entries[level.next++];
    if (!betweenEntries()) break;
    path.resize(level.pathLength);
    if (platform_.separatorBeforeEntry(path)) path += sep;
    wideName(entry.name, bytes, name);  // checked by checkTree
    path += name;
    const uint32_t tag = table.reparseTag(entry.record);
    if (!table.isDirectory(entry.record)) {
      emitTableFile(path, volume.reportedWord(table.storedWord(entry.record), false), tag, volume, steps);
      continue;
    }
    // Folders that stand for another place, and mount points, are not
    // entered; folders whose data lives elsewhere (cloud) are.
    if ((tag & NAME_SURROGATE_TAG_BIT) || notEntered.count(entry.record)) continue;
    // A folder the table cannot vouch for is walked, as without a table.
    if (const Doubt doubt = table.doubt(entry.record); doubt != Doubt::None) {
      if (foldersWalked++ < WALKED_FOLDERS_NAMED) counts_.walkedInstead.push_back(path + L": " + doubtText(doubt));
      if (walkDirectory(path) != Listing::Whole) noteUnlistedFolder(path, listingError_);
      continue;
    }
    // Listed as the walk would list it: from its folder, as one entry.
    if (volume.checkFolders && (!platform_.enterTableFolder(path, steps) || !listable(path))) {
      noteUnlistedFolder(path, platform_.lastError());
      continue;
    }
    levels.push_back({entry.record, path.size(), table.entries(entry.record)});
    steps.push_back({path.size(), entry.record});
  }
  platform_.leaveTableFolders();
  path.resize(rootLength);
  if (foldersWalked > WALKED_FOLDERS_NAMED) {
    counts_.walkedInstead.push_back(root + L": " + std::to_wstring(foldersWalked - WALKED_FOLDERS_NAMED) +
                                    L" more folders in it, as above");
  }
}

// One file of the table's tree: recorded from the table, or, where the rule
// acts on it, a link decides, or the system measures its path, read and
// written through the system as the walk would.
void ScanJob::emitTableFile(const std::wstring& path, uint32_t word, uint32_t tag, const RawVolume& volume,
                            const std::vector<TableStep>& steps) {
  const bool viaSystem = ruleActsOn(path, word) || (tag & NAME_SURROGATE_TAG_BIT) ||
                         (volume.filePathLimit != 0 && volume.pathPrefix + path.size() >= volume.filePathLimit);
  if (!viaSystem) {
    applyRuleWith(path, word, true);
    return;
  }
  if (!platform_.enterTableFolder(path, steps)) {
    // Inside a folder the system shows as a link (a cloud folder on
    // Linux): seen in the table, out of the system's reach.
    applyRuleWith(path, (modeFlags_ & MODE_LIST) ? INVALID_FILE_ATTRIBUTES : word, false);
    return;
  }
  if (tag & NAME_SURROGATE_TAG_BIT) {
    // A link: where it leads decides, as in the walk's listing.
    const uint32_t listed = platform_.getFileAttributes(path);
    const uint32_t folderLink = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    if (listed != INVALID_FILE_ATTRIBUTES && (listed & folderLink) == folderLink) return;
  }
  applyRule(path);
}

// True when the system lists the root with exactly the table's names, in the
// table's order: one listing that catches a stale table, another volume, or
// a driver that hides or shows entries (ntfs-3g's hide_dot_files,
// show_sys_files). `listed` tells whether the system listed the root at all.
// `root` comes back as it was.
bool ScanJob::listsAsTable(std::wstring& root, const std::vector<TableEntry>& entries, bool& listed) {
  const wchar_t sep = platform_.separator();
  const size_t length = root.size();
  if (platform_.separatorBeforeEntry(root)) root += sep;
  root += L'*';
  FindEntry entry;
  std::unique_ptr<DirectorySearch> search = platform_.findFirstFile(root, entry);
  root.resize(length);
  listed = search || entry.attributes != INVALID_FILE_ATTRIBUTES;
  if (!listed) return false;
  std::string bytes;
  std::wstring name;
  size_t next = 0;
  for (bool more = search != nullptr; more; more = search->nextName(entry)) {
    if (entry.name == L"." || entry.name == L"..") continue;
    if (next == entries.size() || !nameToUtf8(entries[next].name, bytes)) return false;
    assignWide(name, bytes);
    if (name != entry.name) return false;
    ++next;
  }
  return next == entries.size();
}

// True when the system lists `folder` (rights, the path limit), asked as the
// walk asks it; `folder` comes back as it was.
bool ScanJob::listable(std::wstring& folder) {
  const wchar_t sep = platform_.separator();
  const size_t length = folder.size();
  if (platform_.separatorBeforeEntry(folder)) folder += sep;
  folder += L'*';
  FindEntry first;
  const bool listed = platform_.findFirstFile(folder, first) || first.attributes != INVALID_FILE_ATTRIBUTES;
  folder.resize(length);
  return listed;
}

}  // namespace tavrin
