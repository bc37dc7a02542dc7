#include "platform/text.h"

namespace tavrin {
namespace {

void appendCodePoint(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

void appendLineFeed(std::string& out, bool crlf) {
  if (crlf) out += '\r';
  out += '\n';
}

bool isHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool isLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Decodes one UTF-8 sequence at bytes[i]. Returns its length, or 0 when the
// bytes there are not a valid, shortest-form, non-surrogate sequence.
size_t decodeSequence(std::string_view bytes, size_t i, char32_t& c) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(bytes[k]); };
  const unsigned char b0 = byte(i);
  size_t length = 0;
  char32_t min = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2, c = b0 & 0x1Fu, min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3, c = b0 & 0x0Fu, min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4, c = b0 & 0x07u, min = 0x10000;
  } else {
    return 0;
  }
  if (i + length > bytes.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    c = (c << 6) | (byte(i + k) & 0x3Fu);
  }
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  return length;
}

}  // namespace

void appendBytes(std::string& out, std::u16string_view text, bool crlf) {
  out.reserve(out.size() + text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char32_t c = text[i];
    if (c == u'\n') {
      appendLineFeed(out, crlf);
    } else if (isHighSurrogate(c) && i + 1 < text.size() && isLowSurrogate(text[i + 1])) {
      appendCodePoint(out, 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00u));
      ++i;
    } else {
      appendCodePoint(out, c);  // a lone surrogate keeps its three-byte form
    }
  }
}

void appendBytes(std::string& out, std::u32string_view text, bool crlf) {
  out.reserve(out.size() + text.size());
  for (const char32_t c : text) {
    if (c == U'\n') {
      appendLineFeed(out, crlf);
    } else if (c >= 0xDC80 && c <= 0xDCFF) {
      out += static_cast<char>(c - 0xDC00);  // a byte that was not UTF-8
    } else {
      appendCodePoint(out, c);
    }
  }
}

void appendBytes(std::string& out, std::wstring_view text, bool crlf) {
  if constexpr (sizeof(wchar_t) == sizeof(char16_t)) {
    appendBytes(out, std::u16string_view(reinterpret_cast<const char16_t*>(text.data()), text.size()),
                crlf);
  } else {
    appendBytes(out, std::u32string_view(reinterpret_cast<const char32_t*>(text.data()), text.size()),
                crlf);
  }
}

namespace {

// Decodes into any string of 32-bit characters, reusing its storage.
template <class String>
void decodeBytes(std::string_view bytes, String& text) {
  using Char = typename String::value_type;
  text.clear();
  text.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    char32_t c = b;
    if (b < 0x80) {
      ++i;
    } else if (const size_t length = decodeSequence(bytes, i, c); length != 0) {
      i += length;
    } else {
      c = 0xDC00u + b;
      ++i;
    }
    text += static_cast<Char>(c);
  }
}

}  // namespace

std::u32string toU32(std::string_view bytes) {
  std::u32string text;
  decodeBytes(bytes, text);
  return text;
}

std::u16string toU16(std::string_view bytes) {
  std::u16string text;
  text.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    char32_t c = b;
    size_t length = 1;
    if (b >= 0x80) {
      length = decodeSequence(bytes, i, c);
      // The three-byte form of a lone surrogate, as appendBytes writes it.
      if (length == 0 && b == 0xED && i + 2 < bytes.size() &&
          (static_cast<unsigned char>(bytes[i + 1]) & 0xE0) == 0xA0 &&
          (static_cast<unsigned char>(bytes[i + 2]) & 0xC0) == 0x80) {
        c = 0xD000u | ((static_cast<unsigned char>(bytes[i + 1]) & 0x3Fu) << 6) |
            (static_cast<unsigned char>(bytes[i + 2]) & 0x3Fu);
        length = 3;
      }
      if (length == 0) c = 0xFFFD, length = 1;
    }
    i += length;
    if (c >= 0x10000) {
      text += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      text += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      text += static_cast<char16_t>(c);
    }
  }
  return text;
}

void assignWide(std::wstring& text, std::string_view bytes) {
  if constexpr (sizeof(wchar_t) == sizeof(char16_t)) {
    const std::u16string wide = toU16(bytes);
    text.assign(wide.begin(), wide.end());
  } else {
    decodeBytes(bytes, text);
  }
}

std::wstring toWide(std::string_view bytes) {
  std::wstring text;
  assignWide(text, bytes);
  return text;
}

}  // namespace tavrin
