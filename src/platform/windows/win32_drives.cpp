// What tells two roots of one volume apart from two volumes: the volume's
// name, and the folder a SUBST drive stands for.
#include <string>

#include "platform/windows/win32_platform.h"

namespace tavrin {

std::optional<std::wstring> Win32Platform::volumeName(const std::wstring& root) {
  wchar_t name[MAX_PATH] = {};  // "\\?\Volume{GUID}\" is 49 characters
  if (!GetVolumeNameForVolumeMountPointW(root.c_str(), name, MAX_PATH)) return std::nullopt;
  return std::wstring(name);
}

std::optional<std::wstring> Win32Platform::substitutedFolder(const std::wstring& root) {
  // Only drive letters can be substitutes; the device is named without the
  // backslash.
  if (root.size() != 3 || root[1] != L':' || root[2] != L'\\') return std::nullopt;
  const std::wstring device = root.substr(0, 2);
  std::wstring target(MAX_PATH, L'\0');
  DWORD length = 0;
  for (;;) {
    length = QueryDosDeviceW(device.c_str(), target.data(), static_cast<DWORD>(target.size()));
    if (length != 0) break;
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || target.size() >= 32768) return std::nullopt;
    target.resize(target.size() * 2);
  }
  // The first of the names; a substitute reads "\??\C:\folder".
  target.resize(wcsnlen(target.c_str(), length));
  static constexpr std::wstring_view kLocal = L"\\??\\";
  if (!target.starts_with(kLocal)) return std::nullopt;
  return target.substr(kLocal.size());
}

}  // namespace tavrin
