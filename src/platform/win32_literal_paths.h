// Names from a listing, used as they are. Win32 path parsing strips a
// trailing dot or blank from a name and turns CON, NUL, COM1 and the like
// into devices; a walk that handed "C:\d\foo." to GetFileAttributesW would
// read "C:\d\foo". So each open listing keeps the "\\?\" form of its folder,
// which Win32 takes literally, and every call on one of its entries goes
// through that form. Records and messages keep the path as built.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tavrin {

class LiteralPaths {
 public:
  // What to hand to Win32 for `path`: the literal form when `path` is an
  // entry of the innermost open listing, `path` itself otherwise (a root, as
  // the system resolves it). Null when the path as built reaches MAX_PATH,
  // which a call without the prefix would refuse. Valid until the next call.
  const wchar_t* of(const std::wstring& path);

  // The pattern to open for a listing of `pattern` (a folder, the separator
  // and "*"): a root's as given, an entry's in its literal form. Null when
  // too long. The listing becomes the innermost one with opened().
  const wchar_t* listingPattern(const std::wstring& pattern);
  // The listing prepared by the last listingPattern() is open as `search`.
  void opened(const void* search);
  void closed(const void* search);

 private:
  struct Listing {
    std::wstring shown;     // the folder as the walk builds it, with the separator
    std::wstring literal;   // its "\\?\" form, with the separator
    std::size_t added = 0;  // characters the prefix adds to the path as built
    bool limited = true;    // the path as built is held to MAX_PATH
    const void* search = nullptr;
  };

  // The "\\?\" form of a root's folder, as GetFullPathNameW resolves it.
  void resolveRoot(const std::wstring& pattern, Listing& listing);
  // True when `path` is `listing`'s folder and one name.
  static bool isEntry(const std::wstring& path, const Listing& listing);
  static bool tooLong(const Listing& listing, std::size_t literalLength);

  std::vector<Listing> listings_;  // innermost last
  Listing next_;
  std::wstring buffer_;
};

}  // namespace tavrin
