/* The least tavrin.exe's listall can do, with the same calls: the
 * application-data folder from shell32, a new file in its tool folder; each
 * folder opened once through its parent's handle (no reparse point
 * followed), its type and file ID asked, listed in 64 KiB batches through
 * that handle; each file's word read afresh (relative to the folder handle,
 * or by its literal path under Wine, which ignores the folder handle there);
 * one UTF-8 record line per file, written to that file in 64 KiB blocks.
 * The bench compares tavrin.exe against it.
 *
 *     wine_same_calls.exe C:\folder    (records: <tick>sameCalls.txt)
 */
#include <windows.h>
#include <shlobj.h>
#include <winternl.h>
#include <stdio.h>
#include <string.h>

typedef struct {
  ULONG next, index;
  LARGE_INTEGER times[4], end, allocation;
  ULONG attributes, nameBytes, eaSize;
  LARGE_INTEGER id;
  WCHAR name[1];
} Entry;

typedef NTSTATUS(NTAPI *QueryDirectory)(HANDLE, HANDLE, void *, void *, PIO_STATUS_BLOCK, void *,
                                        ULONG, ULONG, BOOLEAN, PUNICODE_STRING, BOOLEAN);
typedef NTSTATUS(NTAPI *QueryInformation)(HANDLE, PIO_STATUS_BLOCK, void *, ULONG, ULONG);
typedef NTSTATUS(NTAPI *QueryAttributes)(POBJECT_ATTRIBUTES, void *);

static QueryDirectory queryDirectory;
static QueryInformation queryInformation;
static QueryAttributes queryAttributes;
static int underWine;
static WCHAR path[32768]; /* the literal path being walked */
static char out[65536 + 4096];
static size_t outLength;
static HANDLE output;

static void flush(void) {
  DWORD written;
  WriteFile(output, out, (DWORD)outLength, &written, NULL);
  outLength = 0;
}

static void record(ULONG word, size_t length) {
  /* The record shows the path without the literal prefix. */
  outLength += (size_t)sprintf(out + outLength, "\r\n%ld, ", (long)word);
  outLength += (size_t)WideCharToMultiByte(CP_UTF8, 0, path + 4, (int)length - 4, out + outLength,
                                           4096, NULL, NULL);
  if (outLength >= 65536) flush();
}

static ULONG readWord(HANDLE folder, const WCHAR *name, USHORT bytes, size_t length) {
  if (underWine) return GetFileAttributesW(path);
  UNICODE_STRING counted = {bytes, bytes, (PWSTR)name};
  OBJECT_ATTRIBUTES object;
  InitializeObjectAttributes(&object, &counted, 0, folder, NULL);
  ULONG basic[10];
  (void)length;
  return queryAttributes(&object, basic) < 0 ? INVALID_FILE_ATTRIBUTES : basic[8];
}

static void walk(HANDLE folder, size_t length) {
  static ULONGLONG batches[64][65536 / 8];
  static int depth;
  ULONGLONG *batch = batches[depth++];
  IO_STATUS_BLOCK io;
  BOOLEAN restart = TRUE;
  path[length++] = L'\\';
  while (queryDirectory(folder, NULL, NULL, NULL, &io, batch, 65536, 38, FALSE, NULL, restart) >= 0 &&
         io.Information > 0) {
    restart = FALSE;
    for (Entry *entry = (Entry *)batch;; entry = (Entry *)((char *)entry + entry->next)) {
      const size_t chars = entry->nameBytes / 2;
      memcpy(path + length, entry->name, entry->nameBytes);
      path[length + chars] = 0;
      if (entry->attributes & FILE_ATTRIBUTE_DIRECTORY) {
        const int dot = chars <= 2 && entry->name[0] == L'.' && (chars == 1 || entry->name[1] == L'.');
        if (!dot && !(entry->attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
          UNICODE_STRING counted = {(USHORT)entry->nameBytes, (USHORT)entry->nameBytes, entry->name};
          OBJECT_ATTRIBUTES object;
          InitializeObjectAttributes(&object, &counted, 0, folder, NULL);
          HANDLE child;
          if (NtOpenFile(&child, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE, &object,
                         &io, 7, 0x00204021) >= 0) {
            ULONG tag[2];
            LARGE_INTEGER id;
            queryInformation(child, &io, tag, sizeof tag, 35);
            queryInformation(child, &io, &id, sizeof id, 6);
            walk(child, length + chars);
            NtClose(child);
          }
          memcpy(path + length, entry->name, entry->nameBytes);
        }
      } else {
        const ULONG word = readWord(folder, entry->name, (USHORT)entry->nameBytes, length + chars);
        if (word != INVALID_FILE_ATTRIBUTES) record(word, length + chars);
      }
      if (entry->next == 0) break;
    }
  }
  --depth;
}

int wmain(int argc, WCHAR **argv) {
  if (argc != 2) {
    fputs("usage: wine_same_calls FOLDER\n", stderr);
    return 2;
  }
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  underWine = GetProcAddress(ntdll, "wine_get_version") != NULL;
  queryDirectory = (QueryDirectory)(void (*)(void))GetProcAddress(ntdll, "NtQueryDirectoryFile");
  queryInformation = (QueryInformation)(void (*)(void))GetProcAddress(ntdll, "NtQueryInformationFile");
  queryAttributes = (QueryAttributes)(void (*)(void))GetProcAddress(ntdll, "NtQueryAttributesFile");
  WCHAR results[MAX_PATH + 64];
  if (FAILED(SHGetFolderPathW(NULL, CSIDL_COMMON_APPDATA, NULL, SHGFP_TYPE_CURRENT, results))) return 1;
  swprintf(results + wcslen(results), 64, L"\\Norvane\\Wickline\\%lusameCalls.txt", GetTickCount());
  output = CreateFileW(results, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_NEW, 0, NULL);
  if (output == INVALID_HANDLE_VALUE) return 1;
  wcscpy(path, L"\\\\?\\");
  wcscat(path, argv[1]);
  HANDLE root = CreateFileW(path, FILE_LIST_DIRECTORY, 7, NULL, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS, NULL);
  if (root == INVALID_HANDLE_VALUE) return 1;
  walk(root, wcslen(path));
  flush();
  CloseHandle(output);
  return 0;
}
