// The set command's word against a plain reading of the documented rule: an
// optional sign, then one or more decimal digits and nothing else, in the
// signed 32-bit range. Anything else is refused with a reason, and a
// hexadecimal word is answered with the decimal text that names it.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "invariant.h"
#include "main.h"

namespace {

std::optional<uint32_t> reference(const std::wstring& text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) negative = text[i++] == L'-';
  if (i == text.size()) return std::nullopt;
  std::wstring digits;
  for (; i < text.size(); ++i) {
    if (text[i] < L'0' || text[i] > L'9') return std::nullopt;
    if (!digits.empty() || text[i] != L'0') digits += text[i];  // no leading zeros
  }
  if (digits.size() > 10) return std::nullopt;
  int64_t value = 0;
  for (const wchar_t d : digits) value = value * 10 + (d - L'0');
  if (negative) value = -value;
  if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return static_cast<uint32_t>(static_cast<int32_t>(value));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Each byte a character, so digits, signs and blanks are common; high
  // bytes stand for digits and blanks beyond ASCII (fullwidth, Arabic-Indic,
  // no-break and ideographic spaces), which are none of the rule's.
  static constexpr wchar_t BEYOND[] = {0xFF10, 0x0660, 0x00A0, 0x3000, 0xFF0D, 0x2212, 0x00B9, 0x1D7CE};
  std::wstring text;
  for (size_t i = 0; i < size; ++i) {
    const uint8_t b = data[i];
    text += b < 0x80 ? static_cast<wchar_t>(b) : static_cast<wchar_t>(BEYOND[(b >> 4) & 7] + (b & 7));
  }
  std::wstring problem;
  const std::optional<uint32_t> word = tavrin::parseSetWord(text, problem);
  REQUIRE(word == reference(text));
  REQUIRE(word.has_value() == problem.empty());
  // "0x3127 is not a decimal number (0x3127 is 12583)": the suggestion, typed
  // back, is taken and names the word the hexadecimal text names.
  const std::wstring lead = text + L" is not a decimal number (" + text + L" is ";
  if (problem.starts_with(lead) && problem.ends_with(L")")) {
    const std::wstring suggested = problem.substr(lead.size(), problem.size() - lead.size() - 1);
    std::wstring again;
    const std::optional<uint32_t> back = tavrin::parseSetWord(suggested, again);
    REQUIRE(back.has_value());
    REQUIRE(static_cast<uint64_t>(*back) == std::stoull(text.substr(2), nullptr, 16));
  }
  return 0;
}
