#include "screen_text.h"

#include <algorithm>
#include <iterator>
#include <vector>

namespace tavrin {
namespace {

struct Range {
  char32_t first;
  char32_t last;
};

// Characters a terminal draws two columns wide: East Asian wide and
// fullwidth forms, and the emoji blocks.
constexpr Range WIDE[] = {
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC},
    {0x23F0, 0x23F0},   {0x23F3, 0x23F3},   {0x25FD, 0x25FE},   {0x2614, 0x2615},
    {0x2648, 0x2653},   {0x267F, 0x267F},   {0x2693, 0x2693},   {0x26A1, 0x26A1},
    {0x26AA, 0x26AB},   {0x26BD, 0x26BE},   {0x26C4, 0x26C5},   {0x26CE, 0x26CE},
    {0x26D4, 0x26D4},   {0x26EA, 0x26EA},   {0x26F2, 0x26F3},   {0x26F5, 0x26F5},
    {0x26FA, 0x26FA},   {0x26FD, 0x26FD},   {0x2705, 0x2705},   {0x270A, 0x270B},
    {0x2728, 0x2728},   {0x274C, 0x274C},   {0x274E, 0x274E},   {0x2753, 0x2755},
    {0x2757, 0x2757},   {0x2795, 0x2797},   {0x27B0, 0x27B0},   {0x27BF, 0x27BF},
    {0x2B1B, 0x2B1C},   {0x2B50, 0x2B50},   {0x2B55, 0x2B55},   {0x2E80, 0x303E},
    {0x3041, 0x3096},   {0x309B, 0x33FF},   {0x3400, 0x4DBF},   {0x4E00, 0xA4CF},
    {0xA960, 0xA97F},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE10, 0xFE19},
    {0xFE30, 0xFE6F},   {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x16FE0, 0x16FE4},
    {0x17000, 0x18CFF}, {0x1B000, 0x1B2FF}, {0x1F004, 0x1F004}, {0x1F0CF, 0x1F0CF},
    {0x1F18E, 0x1F18E}, {0x1F191, 0x1F19A}, {0x1F200, 0x1F202}, {0x1F210, 0x1F23B},
    {0x1F240, 0x1F248}, {0x1F250, 0x1F251}, {0x1F260, 0x1F265}, {0x1F300, 0x1F64F},
    {0x1F680, 0x1F6FF}, {0x1F7E0, 0x1F7EB}, {0x1F90C, 0x1F9FF}, {0x1FA70, 0x1FAFF},
    {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
};

// Characters that combine with the one before and take no column of their own.
constexpr Range COMBINING[] = {
    {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x0610, 0x061A},
    {0x064B, 0x065F}, {0x1160, 0x11FF}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF},
    {0x200B, 0x200F}, {0x20D0, 0x20FF}, {0x3099, 0x309A}, {0xFE00, 0xFE0F},
    {0xFE20, 0xFE2F}, {0xE0100, 0xE01EF},
};

template <size_t N>
bool within(const Range (&ranges)[N], char32_t c) {
  const Range* end = std::end(ranges);
  const Range* it = std::lower_bound(std::begin(ranges), end, c,
                                     [](const Range& r, char32_t value) { return r.last < value; });
  return it != end && it->first <= c;
}

bool isHighSurrogate(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool isLowSurrogate(wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// The character at `text[i]` and how many units it takes.
char32_t decodeAt(std::wstring_view text, size_t i, size_t& units) {
  const wchar_t c = text[i];
  if (isHighSurrogate(c) && i + 1 < text.size() && isLowSurrogate(text[i + 1])) {
    units = 2;
    return 0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) +
           (static_cast<char32_t>(text[i + 1]) - 0xDC00);
  }
  units = 1;
  return static_cast<char32_t>(c);
}

size_t columnsOf(char32_t c) {
  if (within(COMBINING, c)) return 0;
  return within(WIDE, c) ? 2 : 1;
}

// A character with the marks that combine with it: the smallest piece a cut
// may take or leave.
struct Cluster {
  size_t start;
  size_t end;
  size_t columns;
};

std::vector<Cluster> clustersOf(std::wstring_view text) {
  std::vector<Cluster> clusters;
  for (size_t i = 0; i < text.size();) {
    size_t units = 0;
    const size_t columns = columnsOf(decodeAt(text, i, units));
    if (columns == 0 && !clusters.empty()) {
      clusters.back().end = i + units;
    } else {
      clusters.push_back({i, i + units, columns});
    }
    i += units;
  }
  return clusters;
}

}  // namespace

size_t displayWidth(std::wstring_view text) {
  size_t columns = 0;
  for (size_t i = 0; i < text.size();) {
    size_t units = 0;
    columns += columnsOf(decodeAt(text, i, units));
    i += units;
  }
  return columns;
}

std::wstring elideMiddle(std::wstring_view text, size_t columns) {
  static constexpr std::wstring_view DOTS = L"...";
  if (displayWidth(text) <= columns) return std::wstring(text);
  if (columns <= DOTS.size()) return std::wstring(DOTS.substr(0, columns));
  const std::vector<Cluster> clusters = clustersOf(text);
  const size_t room = columns - DOTS.size();
  // The head gets half the room; the tail whatever the head leaves.
  size_t head = 0;
  size_t used = 0;
  while (head < clusters.size() && used + clusters[head].columns <= room / 2) {
    used += clusters[head++].columns;
  }
  size_t tail = clusters.size();
  while (tail > head && used + clusters[tail - 1].columns <= room) {
    used += clusters[--tail].columns;
  }
  std::wstring out(text.substr(0, head == 0 ? 0 : clusters[head - 1].end));
  out += DOTS;
  if (tail < clusters.size()) out += text.substr(clusters[tail].start);
  return out;
}

std::wstring escapeControls(std::wstring_view text, std::wstring_view kept) {
  static constexpr wchar_t HEX[] = L"0123456789abcdef";
  std::wstring out;
  out.reserve(text.size());
  for (const wchar_t c : text) {
    const auto code = static_cast<uint32_t>(c);
    const bool control = code < 0x20 || (code >= 0x7F && code <= 0x9F);
    // With 32-bit characters an undecodable byte stands as U+DC80 + byte.
    const bool rawByte = sizeof(wchar_t) == 4 && code >= 0xDC80 && code <= 0xDCFF;
    if ((!control && !rawByte) || kept.find(c) != std::wstring_view::npos) {
      out += c;
      continue;
    }
    const uint32_t byte = rawByte ? code - 0xDC00 : code;
    out += L"\\x";
    out += HEX[byte >> 4];
    out += HEX[byte & 0xF];
  }
  return out;
}

std::wstring forTerminal(std::wstring_view text) { return escapeControls(text, L"\n\t"); }

std::wstring groupedNumber(uint64_t number) {
  const std::wstring digits = std::to_wstring(number);
  std::wstring out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += L',';
    out += digits[i];
  }
  return out;
}

std::wstring countOf(uint64_t number, std::wstring_view one, std::wstring_view many) {
  std::wstring out = groupedNumber(number);
  out += L' ';
  out += number == 1 ? one : many;
  return out;
}

namespace {

std::wstring twoDigits(uint64_t value) {
  return (value < 10 ? L"0" : L"") + std::to_wstring(value);
}

}  // namespace

std::wstring clockTime(uint64_t milliseconds) {
  const uint64_t seconds = milliseconds / 1000;
  const uint64_t hours = seconds / 3600;
  const uint64_t minutes = seconds / 60 % 60;
  if (hours > 0) return std::to_wstring(hours) + L':' + twoDigits(minutes) + L':' + twoDigits(seconds % 60);
  return std::to_wstring(minutes) + L':' + twoDigits(seconds % 60);
}

std::wstring duration(uint64_t milliseconds) {
  const uint64_t seconds = milliseconds / 1000;
  if (seconds < 60) {
    const uint64_t tenths = milliseconds / 100;
    return std::to_wstring(tenths / 10) + L'.' + std::to_wstring(tenths % 10) + L" s";
  }
  if (seconds < 3600) return std::to_wstring(seconds / 60) + L" min " + twoDigits(seconds % 60) + L" s";
  return std::to_wstring(seconds / 3600) + L" h " + twoDigits(seconds / 60 % 60) + L" min";
}

}  // namespace tavrin
