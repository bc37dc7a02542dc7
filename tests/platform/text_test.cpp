// Conversion between wide text and stored bytes.
#include <gtest/gtest.h>

#include <string>

#include "platform/text.h"

namespace tavrin {
namespace {

std::string bytesOf(std::u32string_view text, bool crlf = false) {
  std::string out;
  appendBytes(out, text, crlf);
  return out;
}

std::string bytesOf(std::u16string_view text, bool crlf = false) {
  std::string out;
  appendBytes(out, text, crlf);
  return out;
}

TEST(Text, ValidUtf8DecodesToCodePoints) {
  EXPECT_EQ(U"a\u00E9\u0434\u6587\U0001F600", toU32("a\xC3\xA9\xD0\xB4\xE6\x96\x87\xF0\x9F\x98\x80"));
  EXPECT_EQ(u"a\u00E9\u0434\u6587\xD83D\xDE00", toU16("a\xC3\xA9\xD0\xB4\xE6\x96\x87\xF0\x9F\x98\x80"));
  EXPECT_EQ("\xF0\x9F\x98\x80", bytesOf(u"\xD83D\xDE00")) << "a pair is one code point";
  EXPECT_EQ("\xF4\x8F\xBF\xBF", bytesOf(U"\U0010FFFF"));
}

TEST(Text, InvalidUtf8SurvivesAsEscapedBytes) {
  const struct {
    std::string bytes;
    std::u32string text;
  } cases[] = {
      {"\x80", U"\xDC80"},
      {"\xFF", U"\xDCFF"},
      {"a\xE2\x82", U"a\xDCE2\xDC82"},                      // truncated at the end
      {"\xE2\x82" "a", U"\xDCE2\xDC82" "a"},                // truncated before text
      {"\xF0\x9F\x98", U"\xDCF0\xDC9F\xDC98"},
      {"\xED\xA0\x80", U"\xDCED\xDCA0\xDC80"},              // an encoded surrogate
      {"\xED\xB2\x80", U"\xDCED\xDCB2\xDC80"},              // U+DC80 itself, encoded
      {"\xC0\xAF", U"\xDCC0\xDCAF"},                        // overlong
      {"\xE0\x80\xAF", U"\xDCE0\xDC80\xDCAF"},              // overlong
      {"\xF4\x90\x80\x80", U"\xDCF4\xDC90\xDC80\xDC80"},    // beyond U+10FFFF
      {"\xC3\xA9\xFE\xC3\xA9", U"\u00E9\xDCFE\u00E9"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.text, toU32(c.bytes));
    EXPECT_EQ(c.bytes, bytesOf(toU32(c.bytes))) << "round trip";
  }
  std::string every;
  for (int b = 0; b < 256; ++b) every += static_cast<char>(b);
  EXPECT_EQ(every, bytesOf(toU32(every)));
  if constexpr (sizeof(wchar_t) == sizeof(char32_t)) {
    EXPECT_EQ(every, toBytes(toWide(every))) << "Linux names are bytes";
  } else {
    // Windows names are UTF-16: bytes that are not UTF-8 cannot come from one.
    std::string replaced = every.substr(0, 0x80);
    for (int b = 0x80; b < 256; ++b) replaced += "\xEF\xBF\xBD";
    EXPECT_EQ(replaced, toBytes(toWide(every)));
  }
}

TEST(Text, WideNamesRoundTripAtEitherWidth) {
  const std::wstring name = L"C:\\\u00E9\U0001F600\u0301 \xD800x";
  EXPECT_EQ(sizeof(wchar_t) == sizeof(char16_t) ? 10u : 9u, name.size()) << "a pair is two units";
  const std::string bytes = "C:\\\xC3\xA9\xF0\x9F\x98\x80\xCC\x81 ";
  EXPECT_EQ(bytes + "\xED\xA0\x80x", toBytes(name)) << "a lone surrogate keeps its form";
  EXPECT_EQ(name.substr(0, name.size() - 2), toWide(bytes));
  if constexpr (sizeof(wchar_t) == sizeof(char16_t)) {
    EXPECT_EQ(name, toWide(toBytes(name))) << "Windows names are UTF-16, lone surrogates too";
  }
  EXPECT_EQ("\r\n1, \xF0\x9F\x98\x80\r\n", toBytes(L"\n1, \U0001F600\n", true));
}

TEST(Text, LoneSurrogatesKeepTheirThreeByteForm) {
  const struct {
    std::u16string text;
    std::string bytes;
  } cases[] = {
      {u"\xD800", "\xED\xA0\x80"},
      {u"a\xDFFF" "b", "a\xED\xBF\xBF" "b"},
      {u"\xDE00\xD83D", "\xED\xB8\x80\xED\xA0\xBD"},  // a pair in the wrong order
      {u"\xD83D", "\xED\xA0\xBD"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.bytes, bytesOf(c.text));
    EXPECT_EQ(c.text, toU16(c.bytes)) << "round trip";
  }
}

TEST(Text, LineFeedsBecomeCrLfOnlyWhenAsked) {
  EXPECT_EQ("\r\na\r\n\r\nb\r", bytesOf(U"\na\n\nb\r", true));
  EXPECT_EQ("\na\n\nb\r", bytesOf(U"\na\n\nb\r"));
  EXPECT_EQ("x\r\n\xC3\xA9", bytesOf(u"x\n\u00E9", true));
  std::string out = "kept";
  appendBytes(out, std::wstring_view(L"\n1"), true);
  EXPECT_EQ("kept\r\n1", out);
  EXPECT_EQ(L"\r\n", toWide("\r\n")) << "reading back does not fold CR LF";
}

}  // namespace
}  // namespace tavrin
