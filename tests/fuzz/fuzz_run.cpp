// Whole runs of the command line on a simulated volume decoded from the
// input: a tree of folders, junction-like folders and files with words and
// failures, then a command and its arguments. Checks, besides the
// sanitizers: each file is handed to the rule once per root that covers it
// (at most once where a listing fails), folders never; reparse-point folders
// are never entered below a root; repair and set change only what the rule
// names; every record line parses back to a word and a file of the volume.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "invariant.h"
#include "fake_platform.h"
#include "main.h"

namespace {

using tavrin::test::FakePlatform;

struct Entry {
  std::wstring parent;  // empty for a drive's root
  bool directory = false;
  bool reparse = false;
  bool listingFails = false;
  bool vanishing = false;
  uint32_t word = 0;
};

// Paths as the volume keys them: "C:" is "C:\" and "C:x" is "C:\x" (the
// simulated drives' current folders are their roots), one trailing separator
// dropped.
std::wstring keyOf(std::wstring path) {
  if (path.size() >= 2 && path[1] == L':' && (path.size() == 2 || path[2] != L'\\')) {
    path.insert(2, 1, L'\\');
  }
  if (path.size() >= 2 && path.back() == L'\\' && path[path.size() - 2] != L':') path.pop_back();
  return path;
}

class Volume {
 public:
  std::map<std::wstring, Entry> entries;
  std::vector<std::wstring> folders;
  std::vector<std::wstring> fixedRoots;

  void add(const std::wstring& path, const Entry& entry) {
    entries[path] = entry;
    if (entry.directory) folders.push_back(path);
  }
  const Entry* find(const std::wstring& key) const {
    const auto it = entries.find(key);
    return it == entries.end() ? nullptr : &it->second;
  }
  bool isPlainFile(const std::wstring& key) const {
    const Entry* e = find(key);
    return e && !e->directory && !e->vanishing;
  }
  // Whether walking `root` reaches `path` (a file, or a folder to enter)
  // without entering a reparse point; `failing` tells whether a listing on
  // the way may fail.
  bool reaches(const std::wstring& root, const std::wstring& path, bool& failing) const {
    const Entry* e = find(path);
    if (!e) return false;
    std::wstring at = e->directory ? path : e->parent;
    failing = false;
    for (;;) {
      const Entry* folder = find(at);
      if (!folder) return false;
      failing = failing || folder->listingFails;
      if (at == root) return true;
      if (folder->reparse) return false;
      at = folder->parent;
    }
  }
};

std::wstring makeName(FuzzedDataProvider& input) {
  static const wchar_t* const PIECES[] = {L"a", L"B", L"Norvane", L"norvane", L"\u00E9", L"\U0001F600",
                                          L" ", L",", L"%", L".", L"x.txt", L"e\u0301", L"\u6587", L"-"};
  std::wstring name;
  for (size_t n = input.ConsumeIntegralInRange<size_t>(1, 4); n > 0; --n) {
    name += PIECES[input.ConsumeIntegralInRange<size_t>(0, 13)];
  }
  if (input.ConsumeIntegralInRange<int>(0, 15) == 0) name += std::wstring(300, L'L');  // longer than any limit
  return name;
}

uint32_t makeWord(FuzzedDataProvider& input) {
  static const uint32_t WORDS[] = {0x3127, 0x3126, 0x3125, 0x3123, 0x3107, 0x3027, 0x2127, 0x1127,
                                   0x3927, 0x3527, 0x20, 0x80, 0x21, 0, 0x80000000, 0xFFFFFFEF};
  const uint32_t word = input.ConsumeBool() ? WORDS[input.ConsumeIntegralInRange<size_t>(0, 15)]
                                            : input.ConsumeIntegral<uint32_t>();
  return word & ~uint32_t{FILE_ATTRIBUTE_DIRECTORY};  // a file stays a file
}

void buildVolume(FuzzedDataProvider& input, FakePlatform& fs, Volume& volume) {
  if (input.ConsumeBool()) {
    fs.addSystemDrive();
    for (const wchar_t* folder : {L"C:\\ProgramData", L"C:\\ProgramData\\Norvane",
                                  L"C:\\ProgramData\\Norvane\\Wickline"}) {
      const std::wstring path = folder;
      volume.add(path, {path.substr(0, path.rfind(L'\\') == 2 ? 3 : path.rfind(L'\\')), true});
    }
  } else {
    fs.addDrive(L"C:\\", DRIVE_FIXED);  // no tool folder: records go to the console
  }
  volume.add(L"C:\\", {L"", true});
  volume.fixedRoots.push_back(L"C:\\");
  if (input.ConsumeBool()) {
    static const unsigned TYPES[] = {DRIVE_FIXED, DRIVE_REMOVABLE, DRIVE_CDROM, DRIVE_REMOTE};
    const unsigned type = TYPES[input.ConsumeIntegralInRange<size_t>(0, 3)];
    fs.addDrive(L"D:\\", type);
    volume.add(L"D:\\", {L"", true});
    if (type == DRIVE_FIXED) volume.fixedRoots.push_back(L"D:\\");
  }
  std::set<std::wstring> taken;
  for (const auto& [path, entry] : volume.entries) taken.insert(path);
  for (size_t n = input.ConsumeIntegralInRange<size_t>(0, 40); n > 0 && input.remaining_bytes() > 0; --n) {
    const std::wstring parent = volume.folders[input.ConsumeIntegralInRange<size_t>(0, volume.folders.size() - 1)];
    const std::wstring name = makeName(input);
    const std::wstring path = parent.back() == L'\\' ? parent + name : parent + L'\\' + name;
    if (name == L"." || name == L".." || !taken.insert(path).second) continue;
    Entry entry{parent};
    const int kind = input.ConsumeIntegralInRange<int>(0, 5);
    entry.directory = kind < 3;
    entry.reparse = kind == 2;  // a junction or a link to a folder
    const int failure = input.ConsumeIntegralInRange<int>(0, 9);
    if (entry.directory) {
      // Listing failures first: marking a folder resets its word.
      if (failure == 0) fs.makeUnlistable(path);
      if (failure == 1) fs.failListingAfter(path, input.ConsumeIntegralInRange<size_t>(0, 4));
      entry.listingFails = failure <= 1;
      fs.addDir(path, FILE_ATTRIBUTE_DIRECTORY | (entry.reparse ? FILE_ATTRIBUTE_REPARSE_POINT : 0));
    } else {
      entry.word = makeWord(input);
      fs.addFile(path, entry.word);
      entry.vanishing = failure == 2;
      if (entry.vanishing) fs.makeVanishing(path);
    }
    if (failure == 3) fs.refuseAttributeWrites(path);
    volume.add(path, entry);
  }
  if (input.ConsumeIntegralInRange<int>(0, 7) == 0) fs.failWritesAfter(input.ConsumeIntegralInRange<size_t>(0, 200));
  if (input.ConsumeBool()) fs.setTicks({input.ConsumeIntegral<uint32_t>(), input.ConsumeIntegral<uint32_t>()});
}

std::vector<std::wstring> makeArguments(FuzzedDataProvider& input, const Volume& volume) {
  static const wchar_t* const COMMANDS[] = {L"list", L"repair", L"listall", L"set", L"/?", L"LIST", L""};
  std::vector<std::wstring> args{COMMANDS[input.ConsumeIntegralInRange<size_t>(0, 6)]};
  if (args[0] == L"set") args.push_back(tavrin::toWide(input.ConsumeRandomLengthString(12)));
  std::vector<std::wstring> paths;
  for (const auto& [path, entry] : volume.entries) paths.push_back(path);
  for (size_t n = input.ConsumeIntegralInRange<size_t>(0, 4); n > 0; --n) {
    switch (input.ConsumeIntegralInRange<int>(0, 7)) {
      case 0:
        args.emplace_back();  // covers nothing
        break;
      case 1:
        args.emplace_back(L"C:");
        break;
      case 2:
        args.emplace_back(L"Q:\\not there");
        break;
      default: {
        std::wstring path = paths[input.ConsumeIntegralInRange<size_t>(0, paths.size() - 1)];
        if (volume.find(path)->directory && path.back() != L'\\' && input.ConsumeBool()) path += L'\\';
        args.push_back(path);
      }
    }
  }
  return args;
}

// The path of a "verb PATH" or "set PATH WORD" log line.
std::wstring logPath(const std::string& line, bool hasWord) {
  return tavrin::toWide(hasWord ? line.substr(0, line.rfind(' ')) : line);
}

void checkRun(const FakePlatform& fs, Volume& volume, const std::vector<std::wstring>& args) {
  const std::wstring& command = args[0];
  std::wstring problem;
  const std::optional<uint32_t> setWord =
      command == L"set" && args.size() > 2 ? tavrin::parseSetWord(args[1], problem) : std::nullopt;
  const bool walks = command == L"list" || command == L"repair" || command == L"listall" || setWord;
  if (!walks) {
    REQUIRE(fs.logOf("get").empty() && fs.logOf("set").empty() && fs.createdFiles().empty());
    return;
  }
  std::vector<std::wstring> roots;
  const size_t firstPath = command == L"set" ? 2 : 1;
  const bool fixedDrives = args.size() == firstPath;
  if (fixedDrives) {
    roots = volume.fixedRoots;
  } else {
    for (size_t i = firstPath; i < args.size(); ++i) {
      if (!args[i].empty()) roots.push_back(keyOf(args[i]));
    }
  }
  // The result file is a file of the volume too, and the walk may meet it.
  for (const std::wstring& created : fs.createdFiles()) {
    volume.add(created, {created.substr(0, created.rfind(L'\\')), false, false, false, false,
                         FILE_ATTRIBUTE_ARCHIVE});
  }

  std::map<std::wstring, int> ruleCount;
  for (const auto& [path, entry] : volume.entries) ruleCount[path] = 0;
  for (const std::string& line : fs.logOf("get")) ++ruleCount[keyOf(logPath(line, false))];
  for (const std::wstring& root : roots) --ruleCount[root];  // each root's own check
  for (const auto& [path, count] : ruleCount) {
    const Entry* entry = volume.find(path);
    if (!entry || entry->directory) {
      REQUIRE(count == 0);  // folders and made-up paths never go to the rule
      continue;
    }
    int expected = 0;
    bool failing = false;
    for (const std::wstring& root : roots) {
      bool failingHere = false;
      if (root == path) {
        expected += volume.isPlainFile(path) ? 1 : 0;
      } else if (!volume.isPlainFile(root) && volume.reaches(root, path, failingHere)) {
        ++expected;
        failing = failing || failingHere;
      }
    }
    REQUIRE(failing ? count <= expected : count == expected);
  }
  // No folder below a root is entered through a reparse point.
  for (const std::string& line : fs.logOf("find")) {
    const std::wstring pattern = logPath(line, false);
    REQUIRE(pattern.ends_with(L"\\*") || (pattern.size() == 3 && pattern[1] == L':'));  // "C:*"
    const std::wstring folder = keyOf(pattern.substr(0, pattern.size() - 1));
    bool entered = !volume.find(folder);  // a root that is not there: the listing fails
    for (const std::wstring& root : roots) {
      bool failing = false;
      entered = entered || root == folder || volume.reaches(root, folder, failing);
    }
    REQUIRE(entered);
  }
  // Only what the rule names changes.
  const uint32_t setValue = setWord.value_or(0);
  for (const std::string& line : fs.logOf("set")) {
    const std::wstring path = keyOf(logPath(line, true));
    const uint32_t word = static_cast<uint32_t>(std::stoul(line.substr(line.rfind(' ') + 1)));
    const Entry* entry = volume.find(path);
    REQUIRE(entry && !entry->directory && !entry->vanishing);
    if (command == L"set") {
      REQUIRE(word == setValue);
    } else {
      REQUIRE(command == L"repair");
      const bool marked = logPath(line, true).find(L"Norvane") != std::wstring::npos;
      REQUIRE(marked ? word == FILE_ATTRIBUTE_ARCHIVE : entry->word == 0x3127 && word == FILE_ATTRIBUTE_NORMAL);
    }
  }
  // Each record is a word and a file of the volume: for list the suspect word,
  // otherwise the word the file had (a failed repair records it unchanged).
  const bool writeFailed = fs.console().find("Could not write to the result file") != std::string::npos;
  for (const std::wstring& created : fs.createdFiles()) {
    std::string content = fs.contentOf(created);
    // A failed write may have stopped inside a record: judge the ones before.
    if (const size_t last = content.rfind("\r\n"); writeFailed) {
      content.resize(last == std::string::npos ? 0 : last);
    }
    if (command == L"set") REQUIRE(content.empty());
    if (content.empty()) continue;
    REQUIRE(content.starts_with("\r\n"));
    std::vector<std::string> lines;
    for (size_t at = 2;;) {
      const size_t end = content.find("\r\n", at);
      lines.push_back(content.substr(at, end == std::string::npos ? std::string::npos : end - at));
      if (end == std::string::npos) break;
      at = end + 2;
    }
    for (const std::string& record : lines) {
      const size_t comma = record.find(", ");
      REQUIRE(comma != std::string::npos && comma > 0);
      const std::string number = record.substr(0, comma);
      REQUIRE(number == std::to_string(std::stoll(number)));
      const auto word = static_cast<uint32_t>(std::stol(number));
      const Entry* entry = volume.find(keyOf(tavrin::toWide(record.substr(comma + 2))));
      REQUIRE(entry && !entry->directory);
      REQUIRE(command == L"list" ? word == 0x3127 : word == entry->word);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  FakePlatform fs;
  Volume volume;
  buildVolume(input, fs, volume);
  const std::vector<std::wstring> args = makeArguments(input, volume);
  const int status = tavrin::test::runTool(fs, args);
  // Every failure the run names on standard error shows in its status, and a
  // run that could not start at all says why.
  REQUIRE(status == 0 || status == 1 || status == 2);
  // A warning before a repair or list over a root named like the tool's
  // folder is said whatever the outcome; every other line is a failure.
  std::vector<std::string> failures = fs.logOf("error");
  std::erase_if(failures, [](const std::string& line) { return line.find("to archive only (32): ") != std::string::npos; });
  REQUIRE(failures.empty() || status != 0);
  REQUIRE(status != 2 || !fs.logOf("error").empty());
  if (std::getenv("TAVRIN_FUZZ_SHOW")) {  // to read a finding: the command and what it did
    for (const std::wstring& arg : args) std::fprintf(stderr, "arg [%s]\n", tavrin::toBytes(arg).c_str());
    for (const std::string& line : fs.log()) std::fprintf(stderr, "%s\n", line.c_str());
  }
  Volume after = volume;
  checkRun(fs, after, args);
  return 0;
}
