#include "platform/windows/win32_root_paths.h"

#include <vector>

namespace tavrin {
namespace {

bool isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool isLetter(wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); }

// A full path taken apart: its root ("C:" or "\\server\share") and its names.
struct Parts {
  std::wstring root;
  std::vector<std::wstring> names;
};

// Appends the names of `rest` to `parts`, "." and ".." resolved.
void appendNames(std::wstring_view rest, Parts& parts) {
  std::size_t start = 0;
  while (start <= rest.size()) {
    std::size_t end = start;
    while (end < rest.size() && !isSeparator(rest[end])) ++end;
    const std::wstring_view name = rest.substr(start, end - start);
    if (name == L"..") {
      if (!parts.names.empty()) parts.names.pop_back();
    } else if (!name.empty() && name != L".") {
      parts.names.emplace_back(name);
    }
    start = end + 1;
  }
}

// "\\server\share" of a UNC path, and where the rest begins; nothing when
// the server or the share is missing.
std::optional<std::size_t> uncRootEnd(std::wstring_view path) {
  std::size_t at = 2;
  for (int part = 0; part < 2; ++part) {
    const std::size_t start = at;
    while (at < path.size() && !isSeparator(path[at])) ++at;
    if (at == start) return std::nullopt;
    if (part == 0) ++at;
  }
  return at;
}

// A full path ("C:\x", "\\server\share\x") taken apart.
std::optional<Parts> partsOf(std::wstring_view full) {
  Parts parts;
  if (full.size() >= 2 && isSeparator(full[0]) && isSeparator(full[1])) {
    if (full.size() >= 3 && (full[2] == L'?' || full[2] == L'.')) return std::nullopt;
    const std::optional<std::size_t> end = uncRootEnd(full);
    if (!end) return std::nullopt;
    parts.root = L"\\\\";
    for (std::size_t i = 2; i < *end; ++i) parts.root += isSeparator(full[i]) ? L'\\' : full[i];
    appendNames(full.substr(*end), parts);
    return parts;
  }
  if (full.size() >= 3 && isLetter(full[0]) && full[1] == L':' && isSeparator(full[2])) {
    parts.root.assign(full.substr(0, 2));
    appendNames(full.substr(3), parts);
    return parts;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::wstring> fullPathOf(std::wstring_view typed, std::wstring_view current,
                                       const std::function<std::wstring(wchar_t)>& driveFolder) {
  std::optional<Parts> parts;
  std::wstring_view rest;
  const bool rooted = !typed.empty() && isSeparator(typed[0]);
  const bool drive = typed.size() >= 2 && isLetter(typed[0]) && typed[1] == L':';
  if (rooted && typed.size() >= 2 && isSeparator(typed[1])) {
    parts = partsOf(typed);  // UNC, or literal or device paths (nothing)
  } else if (drive && typed.size() >= 3 && isSeparator(typed[2])) {
    parts = partsOf(typed);
  } else if (drive) {
    parts = partsOf(driveFolder(typed[0]));
    rest = typed.substr(2);
  } else {
    parts = partsOf(current);
    rest = typed;
    if (parts && rooted) parts->names.clear();
  }
  if (!parts) return std::nullopt;
  appendNames(rest, *parts);
  std::wstring full = parts->root;
  for (const std::wstring& name : parts->names) {
    full += L'\\';
    full += name;
  }
  if (parts->names.empty()) full += L'\\';
  return full;
}

std::wstring literalForm(std::wstring_view full) {
  if (full.starts_with(L"\\\\?\\")) return std::wstring(full);
  if (full.starts_with(L"\\\\.\\")) return L"\\\\?\\" + std::wstring(full.substr(4));  // a device
  if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + std::wstring(full.substr(2));
  return L"\\\\?\\" + std::wstring(full);
}

std::size_t literalPrefixLength(std::wstring_view full) {
  return literalForm(full).size() - full.size();
}

}  // namespace tavrin
