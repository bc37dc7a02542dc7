#include "main.h"

#include <climits>
#include <new>
#include <optional>

#include "scan_job.h"

namespace tavrin {

void printUsage(Platform& platform) {
  static constexpr const wchar_t* USAGE[] = {
      L"\n\ttavrin.exe list [path]",
      L"\n\t\t- lits all attributes for all files form each drive",
      L"\n\t\t- saves output to output.txt",
      L"\n\t\t- if you add a path, only files in that folder will be processed",
      L"\n\n\ttavrin.exe repair [path]",
      L"\n\t\t- repairs all attributes for all files form each drive",
      L"\n\t\t- if it fails, output is saved to notRepaired.txt",
      L"\n\t\t- if you add a path, only files in that folder will be processed",
      L"\n\t\t- repair means removing the following attributes:",
      L"\n\tle trec aici",
      L"\n\n\ttavrin.exe set DWORD path >>testing purpose only",
      L"\n\n\ttavrin.exe listall [path] >>testing purpose only",
  };
  for (const wchar_t* line : USAGE) platform.writeConsole(line);
}

namespace {

// A hexadecimal text as the signed decimal number that names the same word,
// for a user who wrote the word as the documents do; nothing when it is no
// hexadecimal word.
std::optional<std::wstring> hexAsDecimal(std::wstring_view text) {
  if (text.size() < 3 || text.size() > 10 || text[0] != L'0' || (text[1] != L'x' && text[1] != L'X')) {
    return std::nullopt;
  }
  uint32_t word = 0;
  for (const wchar_t c : text.substr(2)) {
    uint32_t digit = 0;
    if (c >= L'0' && c <= L'9') {
      digit = static_cast<uint32_t>(c - L'0');
    } else if (c >= L'a' && c <= L'f') {
      digit = static_cast<uint32_t>(c - L'a' + 10);
    } else if (c >= L'A' && c <= L'F') {
      digit = static_cast<uint32_t>(c - L'A' + 10);
    } else {
      return std::nullopt;
    }
    word = word << 4 | digit;
  }
  return decimal(word);
}

}  // namespace

std::optional<uint32_t> parseSetWord(std::wstring_view text, std::wstring& problem) {
  size_t i = 0;
  const bool negative = !text.empty() && text[0] == L'-';
  if (!text.empty() && (text[0] == L'+' || text[0] == L'-')) ++i;
  bool digits = i < text.size();
  int64_t magnitude = 0;
  for (size_t j = i; j < text.size() && digits; ++j) {
    digits = text[j] >= L'0' && text[j] <= L'9';
    // Past the range either way, it stays past it.
    if (digits && magnitude <= int64_t{INT32_MAX} + 1) magnitude = magnitude * 10 + (text[j] - L'0');
  }
  const std::wstring shown(text);
  if (!digits) {
    if (text.empty()) {
      problem = L"an empty word is not a decimal number";
    } else if (const std::optional<std::wstring> value = hexAsDecimal(text)) {
      problem = shown + L" is not a decimal number (" + shown + L" is " + *value + L")";
    } else {
      problem = shown + L" is not a decimal number";
    }
    return std::nullopt;
  }
  const int64_t value = negative ? -magnitude : magnitude;
  if (value < INT32_MIN || value > INT32_MAX) {
    problem = shown + L" is beyond the range of a word (-2147483648 to 2147483647)";
    return std::nullopt;
  }
  return static_cast<uint32_t>(static_cast<int32_t>(value));
}

namespace {

// Memory that runs out mid-run (a huge folder under a memory limit) ends the
// walk, not the records found before it.
int runJob(ScanJob& job, uint32_t flags) {
  try {
    job.startJob(flags);
  } catch (const std::bad_alloc&) {
    job.endOutOfMemory();
  }
  return job.exitStatus();
}

}  // namespace

void ScanJob::startJob(uint32_t flags) {
  openResultFile(flags);
  if (flags & MODE_FIXED_DRIVES) addFixedDrives();
  warnOfMarkedRoots();
  if (flags & (MODE_FIXED_DRIVES | MODE_PATHS)) {
    visitRoots();
    roots_.clear();
  }
  finishRun();
}

namespace {

// A command line that names no run tavrin can do: nothing is scanned.
int usageError(Platform& platform, std::wstring_view why) {
  std::wstring line = L"tavrin: ";
  line += why;
  line += L'\n';
  platform.writeError(line);
  return EXIT_FAILED;
}

}  // namespace

namespace {

// At a terminal the usage ends with a line feed, so the prompt starts on a
// line of its own; redirected, it is the usage text alone.
void showUsage(Platform& platform) {
  printUsage(platform);
  if (platform.consoleIsTerminal()) platform.writeConsole(L"\n");
}

bool isUsageRequest(const std::wstring& word) {
  return word == L"/?" || word == L"/help" || word == L"-help" || word == L"--help" || word == L"-h";
}

int runCommand(const std::vector<std::wstring>& args, Platform& platform) {
  if (args.size() >= 2 && args[1] == L"--version") {
    platform.writeConsole(L"tavrin " TAVRIN_VERSION L"\n");
    return EXIT_DONE;
  }
  if (args.size() < 2 || isUsageRequest(args[1])) {
    showUsage(platform);
    return EXIT_DONE;
  }
  ScanJob job(platform);
  const std::wstring& command = args[1];
  const auto pathsFrom = [&](size_t first) {
    job.roots().insert(job.roots().end(), args.begin() + static_cast<ptrdiff_t>(first), args.end());
  };
  uint32_t action = 0;
  if (command == L"list") {
    action = MODE_LIST;
  } else if (command == L"repair") {
    action = MODE_REPAIR;
  } else if (command == L"listall") {
    action = MODE_LISTALL;
  } else if (command == L"set") {
    if (args.size() <= 3) {
      return usageError(platform, L"set needs a word and at least one path: tavrin set WORD path ...");
    }
    std::wstring problem;
    const std::optional<uint32_t> word = parseSetWord(args[2], problem);
    if (!word) return usageError(platform, problem);
    job.setSetValue(*word);
    pathsFrom(3);
    return runJob(job, MODE_PATHS | MODE_SET);
  } else {
    showUsage(platform);
    return usageError(platform, (command.empty() ? std::wstring(L"an empty word") : command) +
                                    L" is not a command (list, repair, listall, set)");
  }
  if (args.size() == 2) return runJob(job, MODE_FIXED_DRIVES | action);
  pathsFrom(2);
  return runJob(job, MODE_PATHS | action);
}

}  // namespace

int runCommandLine(const std::vector<std::wstring>& args, Platform& platform) {
  try {
    return runCommand(args, platform);
  } catch (const std::bad_alloc&) {
    // Before any record was found (the job is gone, its records written).
    try {
      platform.writeError(L"tavrin: out of memory\n");
    } catch (...) {
    }
    return EXIT_PARTIAL;
  }
}

}  // namespace tavrin
