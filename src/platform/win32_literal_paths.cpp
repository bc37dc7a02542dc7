#include "platform/win32_literal_paths.h"

#include <windows.h>

#include <string_view>

namespace tavrin {
namespace {

constexpr std::wstring_view kLiteral = L"\\\\?\\";          // \\?\ (taken as written)
constexpr std::wstring_view kLiteralUnc = L"\\\\?\\UNC\\";  // \\?\UNC\ (a share)
constexpr std::wstring_view kDevice = L"\\\\.\\";           // \\.\ (parsed, then a device path)

}  // namespace

bool LiteralPaths::isEntry(const std::wstring& path, const Listing& listing) {
  const std::size_t start = listing.shown.size();
  return path.size() > start && path.compare(0, start, listing.shown) == 0 &&
         path.find(L'\\', start) == std::wstring::npos;
}

bool LiteralPaths::tooLong(const Listing& listing, std::size_t literalLength) {
  return listing.limited && literalLength - listing.added >= MAX_PATH;
}

const wchar_t* LiteralPaths::of(const std::wstring& path) {
  if (listings_.empty() || !isEntry(path, listings_.back())) return path.c_str();
  const Listing& listing = listings_.back();
  const std::size_t nameLength = path.size() - listing.shown.size();
  if (tooLong(listing, listing.literal.size() + nameLength)) return nullptr;
  buffer_.assign(listing.literal);
  buffer_.append(path, listing.shown.size(), nameLength);
  return buffer_.c_str();
}

const wchar_t* LiteralPaths::listingPattern(const std::wstring& pattern) {
  next_.shown.assign(pattern, 0, pattern.empty() ? 0 : pattern.size() - 1);  // without the "*"
  std::wstring folder = next_.shown;
  if (!folder.empty() && folder.back() == L'\\') folder.pop_back();
  if (!listings_.empty() && isEntry(folder, listings_.back())) {
    const Listing& parent = listings_.back();
    next_.literal.assign(parent.literal);
    next_.literal.append(folder, parent.shown.size());
    next_.literal += L'\\';
    next_.added = parent.added;
    next_.limited = parent.limited;
    if (tooLong(next_, next_.literal.size() + 1)) return nullptr;
    buffer_.assign(next_.literal);
    buffer_ += L'*';
    return buffer_.c_str();
  }
  resolveRoot(pattern, next_);
  return pattern.c_str();
}

void LiteralPaths::resolveRoot(const std::wstring& pattern, Listing& listing) {
  listing.added = 0;
  listing.limited = true;
  std::wstring full;
  if (std::wstring_view(pattern).starts_with(kLiteral)) {
    full = pattern;  // typed literally: the system leaves it alone, and so do we
  } else {
    full.resize(MAX_PATH);
    for (;;) {
      const DWORD length =
          GetFullPathNameW(pattern.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
      if (length == 0) {
        full = pattern;  // the listing will fail as it always has
        break;
      }
      if (length < full.size()) {
        full.resize(length);
        break;
      }
      full.resize(length);
    }
  }
  if (!full.empty() && full.back() == L'*') full.pop_back();
  const std::wstring_view view(full);
  if (view.starts_with(kLiteral)) {
    listing.literal = full;
    listing.limited = false;
  } else if (view.starts_with(kDevice)) {
    listing.literal.assign(kLiteral).append(view.substr(kDevice.size()));
  } else if (view.starts_with(L"\\\\")) {
    listing.literal.assign(kLiteralUnc).append(view.substr(2));
    listing.added = kLiteralUnc.size() - 2;
  } else if (view.size() >= 3 && view[1] == L':' && view[2] == L'\\') {
    listing.literal.assign(kLiteral).append(view);
    listing.added = kLiteral.size();
  } else {
    listing.literal = full;  // nothing Win32 would resolve: used as it is
  }
}

void LiteralPaths::opened(const void* search) {
  next_.search = search;
  listings_.push_back(std::move(next_));
  next_ = Listing();
}

void LiteralPaths::closed(const void* search) {
  for (auto it = listings_.end(); it != listings_.begin();) {
    if ((--it)->search == search) {
      listings_.erase(it);
      return;
    }
  }
}

}  // namespace tavrin
