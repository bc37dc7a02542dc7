// Text as a terminal shows it: columns taken, cut to fit, numbers and times
// as a person reads them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tavrin {

// The columns a terminal gives `text`: wide (East Asian, most emoji)
// characters take two, combining marks none. A surrogate pair counts as the
// one character it stands for, whatever the width of wchar_t.
size_t displayWidth(std::wstring_view text);

// `text` cut in the middle to at most `columns` columns, the cut shown as
// "...". Cuts fall between characters only: never inside a surrogate pair,
// never between a character and the marks that combine with it.
std::wstring elideMiddle(std::wstring_view text, size_t columns);

// `text` as it may be shown on a terminal: control characters (below 0x20,
// 0x7F, and the C1 range 0x80-0x9F), which would move the cursor, recolour
// or rewrite the screen, and (with 32-bit wchar_t) bytes that are not UTF-8,
// written as "\x1b", "\x9b", "\xff". Characters in `kept` pass unchanged: the
// line feeds and tabs that console messages are made of.
std::wstring escapeControls(std::wstring_view text, std::wstring_view kept = {});
// Console text (messages, records, error lines) for a terminal: escaped, but
// for the line feeds and tabs the messages are laid out with. Only for a
// terminal: what is redirected stays as it is, byte for byte.
std::wstring forTerminal(std::wstring_view text);

// 48213 as "48,213".
std::wstring groupedNumber(uint64_t number);
// "1 file", "2 files".
std::wstring countOf(uint64_t number, std::wstring_view one, std::wstring_view many);

// Elapsed time for the status line: "0:07", "12:34", "1:02:03".
std::wstring clockTime(uint64_t milliseconds);
// Time taken for the summary: "0.4 s", "12.4 s", "3 min 04 s", "1 h 02 min".
std::wstring duration(uint64_t milliseconds);

}  // namespace tavrin
