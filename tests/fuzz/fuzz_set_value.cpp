// The set command's value against a plain reading of the documented rule:
// leading white space, an optional sign, decimal digits up to the first other
// character, no digits give 0, clamped to the signed 32-bit range.
#include <cstddef>
#include <cstdint>
#include <string>

#include "invariant.h"
#include "main.h"

namespace {

uint32_t reference(const std::wstring& text) {
  size_t i = 0;
  while (i < text.size() && std::wstring_view(L" \t\n\v\f\r").find(text[i]) != std::wstring_view::npos) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) negative = text[i++] == L'-';
  std::wstring digits;
  for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
    if (!digits.empty() || text[i] != L'0') digits += text[i];  // no leading zeros
  }
  int64_t value = 0;
  if (digits.size() > 10) {
    value = negative ? INT32_MIN : INT32_MAX;
  } else {
    for (const wchar_t d : digits) value = value * 10 + (d - L'0');
    if (negative) value = -value;
    if (value < INT32_MIN) value = INT32_MIN;
    if (value > INT32_MAX) value = INT32_MAX;
  }
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
  REQUIRE(tavrin::parseSetValue(text) == reference(text));
  return 0;
}
