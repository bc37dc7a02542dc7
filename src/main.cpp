#include "main.h"

#include <climits>

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

uint32_t parseSetValue(const std::wstring& text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == L' ' || (text[i] >= L'\t' && text[i] <= L'\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) negative = text[i++] == L'-';
  // Accumulate the magnitude, stopping once it is past the range either way.
  int64_t magnitude = 0;
  for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
    if (magnitude <= int64_t{INT32_MAX} + 1) magnitude = magnitude * 10 + (text[i] - L'0');
  }
  const int64_t value = negative ? -magnitude : magnitude;
  const int64_t clamped = value < INT32_MIN ? INT32_MIN : value > INT32_MAX ? INT32_MAX : value;
  return static_cast<uint32_t>(static_cast<int32_t>(clamped));
}

void ScanJob::startJob(uint32_t flags) {
  openResultFile(flags);
  if (flags & MODE_FIXED_DRIVES) addFixedDrives();
  if (flags & (MODE_FIXED_DRIVES | MODE_PATHS)) {
    visitRoots();
    roots_.clear();
  }
  finishRun();
}

int runCommandLine(const std::vector<std::wstring>& args, Platform& platform) {
  if (args.size() >= 2 && args[1] == L"--version") {
    platform.writeConsole(L"tavrin " TAVRIN_VERSION L"\n");
    return 0;
  }
  if (args.size() < 2 || args[1] == L"/?" || args[1] == L"/help" || args[1] == L"-help") {
    printUsage(platform);
    return 0;
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
    if (args.size() > 3) {
      job.setSetValue(parseSetValue(args[2]));
      pathsFrom(3);
      job.startJob(MODE_PATHS | MODE_SET);
    }
    return 0;
  } else {
    printUsage(platform);
    return 0;
  }
  if (args.size() == 2) {
    job.startJob(MODE_FIXED_DRIVES | action);
  } else {
    pathsFrom(2);
    job.startJob(MODE_PATHS | action);
  }
  return 0;
}

}  // namespace tavrin
