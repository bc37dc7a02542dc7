#include "fake_platform.h"

#include <algorithm>
#include <utility>

#include "main.h"
#include "ntfs_image.h"
#include "platform/text.h"
#include "platform/tool_folder.h"

namespace tavrin::test {

// "C:" is the drive's root, and one trailing backslash is dropped except
// after a drive's colon.
std::wstring FakePlatform::keyOf(std::wstring path) {
  if (path.size() == 2 && path[1] == L':') return path + L'\\';
  if (path.size() >= 2 && path.back() == L'\\' && path[path.size() - 2] != L':') path.pop_back();
  return path;
}

namespace {

// "C:" or "C:name": a drive letter and colon with no backslash after them.
bool isDriveRelative(std::wstring_view path) {
  return path.size() >= 2 && path[1] == L':' && (path.size() == 2 || path[2] != L'\\');
}

bool isDriveRoot(const std::wstring& key) {
  return key.size() == 3 && key[1] == L':' && key[2] == L'\\';
}

std::wstring childKey(const std::wstring& directory, const std::wstring& name) {
  return isDriveRoot(directory) ? directory + name : directory + L'\\' + name;
}

// The parent's key and the entry's name; no parent for a drive root or a
// bare relative name.
std::optional<std::pair<std::wstring, std::wstring>> splitParent(const std::wstring& key) {
  const size_t slash = key.rfind(L'\\');
  if (isDriveRoot(key) || slash == std::wstring::npos || slash + 1 == key.size()) return {};
  std::wstring parent = key.substr(0, slash);
  if (!parent.empty() && parent.back() == L':') parent += L'\\';
  return std::make_pair(parent, key.substr(slash + 1));
}

template <typename T>
T nextAnswer(const std::vector<T>& answers, int& reads, T fallback) {
  const auto index = static_cast<size_t>(reads++);
  if (answers.empty()) return fallback;
  return answers[std::min(index, answers.size() - 1)];
}

class FakeSearch final : public DirectorySearch {
 public:
  FakeSearch(FakePlatform& platform, std::wstring pattern, std::vector<FindEntry> rest,
             bool breaksOff)
      : platform_(platform), pattern_(std::move(pattern)), rest_(std::move(rest)),
        breaksOff_(breaksOff) {}
  ~FakeSearch() override { platform_.record("close", pattern_); }
  FakeSearch(const FakeSearch&) = delete;
  FakeSearch& operator=(const FakeSearch&) = delete;

  bool next(FindEntry& entry) override {
    if (index_ == rest_.size()) {
      if (breaksOff_) platform_.noteError(L"I/O error");
      return false;
    }
    entry = rest_[index_++];
    return true;
  }

  bool failed() const override { return breaksOff_ && index_ == rest_.size(); }

 private:
  FakePlatform& platform_;
  std::wstring pattern_;
  std::vector<FindEntry> rest_;
  size_t index_ = 0;
  bool breaksOff_;
};

class FakeResultFile final : public ResultFile {
 public:
  FakeResultFile(FakePlatform& platform, std::wstring key, std::optional<size_t> limit)
      : platform_(platform), key_(std::move(key)), limit_(limit) {}
  ~FakeResultFile() override { platform_.record("close-file", key_); }
  FakeResultFile(const FakeResultFile&) = delete;
  FakeResultFile& operator=(const FakeResultFile&) = delete;

  bool write(std::wstring_view text) override { return platform_.appendToFile(key_, text, limit_); }
  std::wstring error() const override { return L"no space left on the disk"; }
  bool removeIfEmpty() override { return platform_.removeIfEmpty(key_); }

 private:
  FakePlatform& platform_;
  std::wstring key_;
  std::optional<size_t> limit_;
};

}  // namespace

FakePlatform::FakePlatform() : folders_{std::wstring(L"C:\\ProgramData")}, ticks_{1000} {}

std::wstring FakePlatform::resolvedKey(const std::wstring& path) const {
  if (!isDriveRelative(path)) return keyOf(path);
  const std::wstring drive = path.substr(0, 2);
  const auto current = driveFolders_.find(drive);
  std::wstring folder = current == driveFolders_.end() ? drive + L'\\' : current->second;
  if (path.size() > 2) {
    if (folder.back() != L'\\') folder += L'\\';
    folder.append(path, 2);
  }
  return keyOf(folder);
}

bool FakePlatform::separatorBeforeEntry(std::wstring_view folder) const {
  return !(folder.size() == 2 && isDriveRelative(folder)) && Platform::separatorBeforeEntry(folder);
}

FakePlatform::Node* FakePlatform::find(const std::wstring& path) {
  const auto it = nodes_.find(resolvedKey(path));
  return it == nodes_.end() ? nullptr : &it->second;
}

const FakePlatform::Node* FakePlatform::find(const std::wstring& path) const {
  const auto it = nodes_.find(resolvedKey(path));
  return it == nodes_.end() ? nullptr : &it->second;
}

FakePlatform::Node& FakePlatform::ensure(const std::wstring& path, uint32_t attributes) {
  const std::wstring key = resolvedKey(path);
  if (Node* node = find(key)) {
    node->attributes = attributes;
    return *node;
  }
  if (const auto parent = splitParent(key)) {
    if (!find(parent->first)) ensure(parent->first, FILE_ATTRIBUTE_DIRECTORY);
    find(parent->first)->children.push_back(parent->second);
  }
  Node& node = nodes_[key];
  node.attributes = attributes;
  return node;
}

void FakePlatform::addDrive(const std::wstring& root, unsigned type) {
  listDrive(root, type);
  ensure(root, FILE_ATTRIBUTE_DIRECTORY);
}

void FakePlatform::addSystemDrive() {
  addDrive(L"C:\\", DRIVE_FIXED);
  addDir(L"C:\\ProgramData\\Norvane\\Wickline");
}

void FakePlatform::listDrive(const std::wstring& root, unsigned type) {
  drives_.emplace_back(root, type);
}

void FakePlatform::addDir(const std::wstring& path, uint32_t attributes) {
  ensure(path, attributes | FILE_ATTRIBUTE_DIRECTORY);
}

void FakePlatform::addCloudDir(const std::wstring& path) {
  ensure(path, FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_OFFLINE)
      .nameSurrogate = false;
}

void FakePlatform::addFile(const std::wstring& path, uint32_t attributes, const std::string& content) {
  ensure(path, attributes).content = content;
}

void FakePlatform::makeUnlistable(const std::wstring& directory) {
  ensure(directory, FILE_ATTRIBUTE_DIRECTORY).unlistable = true;
}

void FakePlatform::failListingAfter(const std::wstring& directory, std::size_t entries) {
  ensure(directory, FILE_ATTRIBUTE_DIRECTORY).listLimit = entries;
}

void FakePlatform::makeVanishing(const std::wstring& path) { find(path)->vanishing = true; }

void FakePlatform::refuseAttributeWrites(const std::wstring& path) { find(path)->refuseSet = true; }

void FakePlatform::setAppDataFolders(std::vector<std::optional<std::wstring>> answers) {
  folders_ = std::move(answers);
}

void FakePlatform::setTicks(std::vector<uint32_t> ticks) { ticks_ = std::move(ticks); }

void FakePlatform::refuseCreate(const std::wstring& path, CreateFailure why) {
  refusedCreates_.emplace_back(resolvedKey(path), why);
}

std::vector<std::string> FakePlatform::logOf(const std::string& verb) const {
  std::vector<std::string> lines;
  const std::string prefix = verb + ' ';
  for (const std::string& line : log_) {
    if (line.starts_with(prefix)) lines.push_back(line.substr(prefix.size()));
  }
  return lines;
}

std::string FakePlatform::contentOf(const std::wstring& path) const {
  const Node* node = find(path);
  return node ? node->content : std::string();
}

std::optional<uint32_t> FakePlatform::attributesOf(const std::wstring& path) const {
  const Node* node = find(path);
  if (!node) return std::nullopt;
  return node->attributes;
}

void FakePlatform::record(const std::string& verb, std::wstring_view text) {
  log_.push_back(verb + ' ' + toBytes(text));
}

bool FakePlatform::appendToFile(const std::wstring& key, std::wstring_view text,
                                std::optional<std::size_t> limit) {
  std::string& content = find(key)->content;
  std::string bytes;
  appendBytes(bytes, text, true);
  if (limit && content.size() + bytes.size() > *limit) return false;
  content += bytes;
  return true;
}

bool FakePlatform::removeIfEmpty(const std::wstring& key) {
  const Node* node = find(key);
  if (!node || !node->content.empty()) return false;
  record("remove", key);
  if (const auto parent = splitParent(key)) {
    std::vector<std::wstring>& children = find(parent->first)->children;
    children.erase(std::remove(children.begin(), children.end(), parent->second), children.end());
  }
  nodes_.erase(key);
  return true;
}

uint32_t FakePlatform::getFileAttributes(const std::wstring& path) {
  record("get", path);
  const Node* node = find(path);
  if (path.empty() || !node || node->vanishing) {
    noteError(L"not found");
    return INVALID_FILE_ATTRIBUTES;
  }
  return node->attributes;
}

bool FakePlatform::setFileAttributes(const std::wstring& path, uint32_t attributes) {
  record("set", path + L' ' + std::to_wstring(attributes));
  Node* node = find(path);
  if (path.empty() || !node || node->vanishing || node->refuseSet) {
    noteError(node && node->refuseSet ? L"access denied" : L"not found");
    return false;
  }
  // The directory bit cannot be set or cleared, as on Windows: a directory
  // keeps it and a file never gains it.
  node->attributes = (attributes & ~uint32_t{FILE_ATTRIBUTE_DIRECTORY}) |
                     (node->attributes & FILE_ATTRIBUTE_DIRECTORY);
  return true;
}

std::unique_ptr<DirectorySearch> FakePlatform::findFirstFile(const std::wstring& pattern,
                                                             FindEntry& first) {
  record("find", pattern);
  first.attributes = INVALID_FILE_ATTRIBUTES;
  noteError(L"not found");
  const std::wstring folder = pattern.substr(0, pattern.empty() ? 0 : pattern.size() - 1);
  if (!pattern.ends_with(L"*") || separatorBeforeEntry(folder)) return nullptr;
  const std::wstring key = resolvedKey(folder);
  const Node* directory = find(key);
  if (key.empty() || !directory || !(directory->attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return nullptr;
  }
  if (directory->unlistable) {
    noteError(L"access denied");
    return nullptr;
  }
  std::vector<FindEntry> entries;
  if (!isDriveRoot(key)) {
    entries.push_back({FILE_ATTRIBUTE_DIRECTORY, L"."});
    entries.push_back({FILE_ATTRIBUTE_DIRECTORY, L".."});
  }
  for (const std::wstring& name : directory->children) {
    const Node* child = find(childKey(key, name));
    entries.push_back({child->attributes, name, child->nameSurrogate});
  }
  const bool breaksOff = directory->listLimit.has_value();
  if (breaksOff && entries.size() > *directory->listLimit) entries.resize(*directory->listLimit);
  if (entries.empty()) {
    if (breaksOff) noteError(L"I/O error");
    first.attributes = breaksOff ? INVALID_FILE_ATTRIBUTES : 0;
    return nullptr;
  }
  first = entries.front();
  entries.erase(entries.begin());
  return std::make_unique<FakeSearch>(*this, pattern, std::move(entries), breaksOff);
}

std::vector<std::wstring> FakePlatform::logicalDriveStrings() {
  ++driveListReads_;
  std::vector<std::wstring> roots;
  if (driveListUnreadable_) return roots;
  for (const auto& drive : drives_) roots.push_back(drive.first);
  return roots;
}

unsigned FakePlatform::getDriveType(const std::wstring& root) {
  for (const auto& drive : drives_) {
    if (drive.first == root) return drive.second;
  }
  return DRIVE_NO_ROOT_DIR;
}

std::optional<std::wstring> FakePlatform::volumeName(const std::wstring& root) {
  record("volume", root);
  const auto it = volumes_.find(root);
  return it == volumes_.end() ? std::nullopt : std::optional<std::wstring>(it->second);
}

std::optional<std::wstring> FakePlatform::substitutedFolder(const std::wstring& root) {
  const auto it = substitutes_.find(root);
  return it == substitutes_.end() ? std::nullopt : std::optional<std::wstring>(it->second);
}

std::optional<std::wstring> FakePlatform::commonAppDataFolder() {
  return nextAnswer<std::optional<std::wstring>>(folders_, folderReads_, std::nullopt);
}

uint32_t FakePlatform::tickCount() { return nextAnswer<uint32_t>(ticks_, tickReads_, 0); }

uint64_t FakePlatform::monotonicMilliseconds() { return clock_ += clockStep_; }

bool FakePlatform::stopRequested() { return stopWhen_ && stopWhen_(); }

void FakePlatform::writeConsole(std::wstring_view text) {
  record("print", text);
  consoleWrites_.emplace_back(text);
  appendBytes(console_, text, true);
}

void FakePlatform::writeError(std::wstring_view text) {
  record("error", text);
  appendBytes(errors_, text);
}

bool FakePlatform::keepsAttributeWords(const std::wstring& path) {
  return std::find(offVolume_.begin(), offVolume_.end(), path) == offVolume_.end();
}

void FakePlatform::writeStatus(std::wstring_view text) {
  record("status", text);
  statusWrites_.push_back({clock_, std::wstring(text)});
}

CreateFailure FakePlatform::judgeFolderOf(const std::wstring& key) const {
  static const std::wstring kLevels = L"\\Norvane\\Wickline\\";
  const size_t at = key.rfind(kLevels);
  if (at == std::wstring::npos || key.find(L'\\', at + kLevels.size()) != std::wstring::npos) {
    return CreateFailure::None;  // not a tool folder: only the usual checks
  }
  std::vector<FolderFacts> levels;
  for (const std::wstring& level : {key.substr(0, at + std::wstring_view(L"\\Norvane").size()), key.substr(0, at + kLevels.size() - 1)}) {
    const Node* node = find(level);
    FolderFacts facts;
    if (!node || !(node->attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      facts.openFailure = CreateFailure::FolderMissing;
    } else {
      facts.reparsePoint = (node->attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
      facts.trustedOwner = !node->foreignOwner;
    }
    levels.push_back(facts);
    if (facts.openFailure != CreateFailure::None) break;
  }
  return judgeToolFolder(levels, elevated_);
}

std::unique_ptr<ResultFile> FakePlatform::createResultFile(const std::wstring& path,
                                                         CreateFailure& failure) {
  record("create", path);
  const std::wstring key = resolvedKey(path);
  const auto parent = splitParent(key);
  const auto refused = std::find_if(refusedCreates_.begin(), refusedCreates_.end(),
                                    [&](const auto& refusal) { return refusal.first == key; });
  // A bare name lands in the current directory, which always exists.
  const bool parentMissing =
      parent && (!find(parent->first) || !(find(parent->first)->attributes & FILE_ATTRIBUTE_DIRECTORY));
  const CreateFailure folder = judgeFolderOf(key);
  failure = refused != refusedCreates_.end() ? refused->second
            : folder != CreateFailure::None  ? folder
            : find(key)                      ? CreateFailure::NameTaken
            : path.empty() || parentMissing  ? CreateFailure::FolderMissing
                                             : CreateFailure::None;
  if (failure != CreateFailure::None) {
    noteError(L"access denied");
    return nullptr;
  }
  // Elevated, in a tool folder others may add to: created, with a warning.
  if (elevated_ && parent && parent->first.ends_with(L"\\Norvane\\Wickline") &&
      othersMayAdd(find(parent->first)->access)) {
    folderWarning_ = openToolFolderWarning(parent->first);
  }
  ensure(key, FILE_ATTRIBUTE_ARCHIVE);
  created_.push_back(key);
  return std::make_unique<FakeResultFile>(*this, key, writeLimit_);
}

int runTool(FakePlatform& platform, std::vector<std::wstring> args) {
  args.insert(args.begin(), L"tavrin.exe");
  return runCommandLine(args, platform);
}

std::string argsForName(const std::vector<std::wstring>& args) {
  std::string line = args.empty() ? "(none)" : "";
  for (const std::wstring& arg : args) {
    if (!line.empty()) line += ' ';
    line += arg.empty() ? "(empty)" : toBytes(arg);
  }
  std::replace(line.begin(), line.end(), '\\', '/');
  return line;
}

std::string crlf(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

}  // namespace tavrin::test

namespace tavrin::test {

std::unique_ptr<RawVolume> FakePlatform::openRawVolume(const std::wstring& root, std::wstring& why) {
  const auto it = tables_.find(resolvedKey(root));
  if (it == tables_.end()) return nullptr;
  record("table", root);
  const Table& table = it->second;
  if (!table.refusal.empty()) {
    why = table.refusal;
    return nullptr;
  }
  auto volume = std::make_unique<ImageVolume>(table.image);
  volume->rootRecord = table.rootRecord;
  volume->order = table.order;
  volume->checkFolders = table.checkFolders;
  volume->filePathLimit = table.filePathLimit;
  volume->pathPrefix = table.pathPrefix;
  volume->memoryBudget = table.memoryBudget;
  volume->listed = table.rootRecords;
  volume->changed = table.changedFolders;
  volume->journalLost = table.journalLost;
  volume->mountPoints = table.mountPoints;
  return volume;
}

bool FakePlatform::enterTableFolder(const std::wstring& path, const std::vector<TableStep>& steps) {
  const std::wstring folder = path.substr(0, steps.back().end);
  record("enter", folder);
  for (const std::wstring& refused : refusedTableFolders_) {
    if (folder.starts_with(refused) && (folder.size() == refused.size() || folder[refused.size()] == L'\\')) {
      return false;
    }
  }
  return true;
}

}  // namespace tavrin::test
