// What a path typed on the command line names. Win32 trims a trailing dot
// or blank from every name of a path it is given, so "C:\t\dot." typed back
// from a record would reach "C:\t\dot", and "C:\t\sub.\x" would reach
// "C:\t\sub\x". tavrin makes the full path itself, as Win32 would but
// without trimming, and uses its literal ("\\?\") form when that names an
// existing entry. Pure text work: the current folders come from the caller.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tavrin {

// The full path of `typed`: relative to `current` (a full path, the
// process's current folder), to the current folder of its drive for "C:x"
// (`driveFolder` gives it, a full path, for the drive letter), or to the
// root of `current`'s drive for "\x"; "/" read as "\", empty names dropped,
// "." and ".." resolved (never above the root), and nothing trimmed.
// Without a trailing separator, but for a root ("C:\"). Nothing for what is
// literal already ("\\?\") or a device ("\\.\"), or what cannot be resolved.
std::optional<std::wstring> fullPathOf(std::wstring_view typed, std::wstring_view current,
                                       const std::function<std::wstring(wchar_t)>& driveFolder);

// The literal form of a full path: "\\?\C:\x", "\\?\UNC\server\share\x",
// "\\?\C:" for the device path "\\.\C:"; a literal path as it is.
std::wstring literalForm(std::wstring_view full);

// How many characters literalForm adds to `full`: what a path limit that
// holds for the full path must not count.
std::size_t literalPrefixLength(std::wstring_view full);

}  // namespace tavrin
