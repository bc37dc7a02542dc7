#include "platform/windows/win32_nt.h"

namespace tavrin::nt {
namespace {

template <typename Function>
void lookUp(HMODULE ntdll, const char* name, Function& function) {
  // Through the one function type every other converts from without a warning.
  function = reinterpret_cast<Function>(
      reinterpret_cast<void (*)()>(GetProcAddress(ntdll, name)));
}

Calls load() {
  Calls calls{};
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  lookUp(ntdll, "NtQueryAttributesFile", calls.queryAttributesFile);
  lookUp(ntdll, "NtQueryDirectoryFile", calls.queryDirectoryFile);
  lookUp(ntdll, "NtQueryInformationFile", calls.queryInformationFile);
  lookUp(ntdll, "NtSetInformationFile", calls.setInformationFile);
  return calls;
}

}  // namespace

const Calls& calls() {
  static const Calls loaded = load();
  return loaded;
}

UNICODE_STRING countedString(std::wstring_view text) {
  UNICODE_STRING counted{};
  counted.Buffer = const_cast<PWSTR>(text.data());
  counted.Length = counted.MaximumLength = static_cast<USHORT>(text.size() * sizeof(wchar_t));
  return counted;
}

HANDLE openInFolder(HANDLE folder, std::wstring_view name, ACCESS_MASK access, ULONG options,
                    NTSTATUS& status) {
  // A name longer than a counted string holds is no name of a folder.
  if (name.size() > 0x7FFF) {
    status = static_cast<NTSTATUS>(0xC0000033);  // STATUS_OBJECT_NAME_INVALID
    return nullptr;
  }
  UNICODE_STRING counted = countedString(name);
  OBJECT_ATTRIBUTES object{};
  InitializeObjectAttributes(&object, &counted, 0, folder, nullptr);
  IO_STATUS_BLOCK io{};
  HANDLE handle = nullptr;
  status = NtOpenFile(&handle, access | SYNCHRONIZE, &object, &io, kShareAll,
                      options | kOpenReparsePoint | kSynchronousIo | kForBackupIntent);
  return status < 0 ? nullptr : handle;
}

DWORD errorOf(NTSTATUS status) { return RtlNtStatusToDosError(status); }

}  // namespace tavrin::nt
