// Lossless text at the boundary: bytes -> wide -> bytes is the identity (Linux
// names are bytes), any UTF-16 -> bytes -> UTF-16 too (Windows names, lone
// surrogates included), and CRLF output differs only in its line ends.
#include <cstddef>
#include <cstdint>
#include <string>

#include "invariant.h"
#include "platform/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tavrin;
  const std::string bytes(reinterpret_cast<const char*>(data), size);

  std::string back;
  appendBytes(back, toU32(bytes));
  REQUIRE(back == bytes);
  REQUIRE(toBytes(toWide(bytes)) == bytes);

  std::u16string units;
  for (size_t i = 0; i + 1 < size; i += 2) units += static_cast<char16_t>(data[i] | data[i + 1] << 8);
  std::string encoded;
  appendBytes(encoded, units);
  REQUIRE(toU16(encoded) == units);

  std::string withCrLf;
  appendBytes(withCrLf, units, true);
  std::string expected;
  for (const char c : encoded) {
    if (c == '\n') expected += '\r';
    expected += c;
  }
  REQUIRE(withCrLf == expected);
  return 0;
}
