// Lossless conversion between the core's wide text and the bytes the system
// stores. With 16-bit wide characters (Windows) the bytes are UTF-8, and a
// lone surrogate gets the three-byte form it would have as a code point. With
// 32-bit wide characters (Linux) names are arbitrary bytes: a byte that is not
// part of valid UTF-8 becomes U+DC80 + byte, and goes back to that same byte.
#pragma once

#include <string>
#include <string_view>

namespace tavrin {

// Appends `text` as bytes to `out`; with `crlf`, each line feed is written as
// carriage return and line feed, as a Windows text-mode stream does.
void appendBytes(std::string& out, std::u16string_view text, bool crlf = false);
void appendBytes(std::string& out, std::u32string_view text, bool crlf = false);
void appendBytes(std::string& out, std::wstring_view text, bool crlf = false);

// The inverse of appendBytes without crlf.
std::u16string toU16(std::string_view bytes);
std::u32string toU32(std::string_view bytes);
std::wstring toWide(std::string_view bytes);
// toWide into `text`, reusing its storage.
void assignWide(std::wstring& text, std::string_view bytes);

inline std::string toBytes(std::wstring_view text, bool crlf = false) {
  std::string out;
  appendBytes(out, text, crlf);
  return out;
}

}  // namespace tavrin
