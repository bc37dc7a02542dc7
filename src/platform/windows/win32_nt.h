// The native calls the walk makes on open folders, and the records they
// fill, as Microsoft documents them. The SDK and MinGW headers declare only
// some of them, each a different some: these are tavrin's own declarations,
// and the functions are looked up in ntdll once.
#pragma once

#include <windows.h>
#include <winternl.h>

#include <cstdint>
#include <string_view>

namespace tavrin::nt {

// FILE_INFORMATION_CLASS values.
inline constexpr ULONG kFileBasicInformation = 4;
inline constexpr ULONG kFileInternalInformation = 6;
inline constexpr ULONG kFileAttributeTagInformation = 35;
inline constexpr ULONG kFileIdFullDirectoryInformation = 38;

inline constexpr NTSTATUS kNoMoreFiles = static_cast<NTSTATUS>(0x80000006);
inline constexpr NTSTATUS kNoSuchFile = static_cast<NTSTATUS>(0xC000000F);

// Create options and sharing, as NtCreateFile takes them.
inline constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
inline constexpr ULONG kDirectoryFile = 0x00000001;
inline constexpr ULONG kSynchronousIo = 0x00000020;
inline constexpr ULONG kForBackupIntent = 0x00004000;
inline constexpr ULONG kOpenReparsePoint = 0x00200000;

// FILE_BASIC_INFORMATION: times of 0 leave the file's times as they are.
struct BasicInformation {
  LARGE_INTEGER creationTime;
  LARGE_INTEGER lastAccessTime;
  LARGE_INTEGER lastWriteTime;
  LARGE_INTEGER changeTime;
  ULONG fileAttributes;
};

// FILE_ATTRIBUTE_TAG_INFORMATION.
struct AttributeTagInformation {
  ULONG fileAttributes;
  ULONG reparseTag;
};

// FILE_ID_FULL_DIR_INFORMATION. For a reparse point, eaSize holds its tag.
struct IdFullDirInformation {
  ULONG nextEntryOffset;
  ULONG fileIndex;
  LARGE_INTEGER creationTime;
  LARGE_INTEGER lastAccessTime;
  LARGE_INTEGER lastWriteTime;
  LARGE_INTEGER changeTime;
  LARGE_INTEGER endOfFile;
  LARGE_INTEGER allocationSize;
  ULONG fileAttributes;
  ULONG fileNameLength;  // in bytes
  ULONG eaSize;
  LARGE_INTEGER fileId;
  WCHAR fileName[1];
};

struct Calls {
  NTSTATUS(NTAPI* queryAttributesFile)(POBJECT_ATTRIBUTES, BasicInformation*);
  NTSTATUS(NTAPI* queryDirectoryFile)(HANDLE, HANDLE, void*, void*, PIO_STATUS_BLOCK, void*, ULONG,
                                      ULONG, BOOLEAN, PUNICODE_STRING, BOOLEAN);
  NTSTATUS(NTAPI* queryInformationFile)(HANDLE, PIO_STATUS_BLOCK, void*, ULONG, ULONG);
  NTSTATUS(NTAPI* setInformationFile)(HANDLE, PIO_STATUS_BLOCK, void*, ULONG, ULONG);
};

// Looked up on first use; ntdll has had each of them since Windows 2000.
const Calls& calls();

// A counted string over `text`, which must outlive it.
UNICODE_STRING countedString(std::wstring_view text);

// Opens `name`, one name of the folder open as `folder` (or, with an empty
// name, that folder once more), without following a reparse point met
// there. Null with the status on failure.
HANDLE openInFolder(HANDLE folder, std::wstring_view name, ACCESS_MASK access, ULONG options,
                    NTSTATUS& status);

// The error code Win32 would report for `status`.
DWORD errorOf(NTSTATUS status);

}  // namespace tavrin::nt
