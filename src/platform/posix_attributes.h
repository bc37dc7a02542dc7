// The attribute word of a file on Linux: the NTFS word where the file
// system keeps one, else the word a Windows client would see for the file.
#pragma once

#include <sys/types.h>

#include <cstdint>

namespace tavrin {

// Four bytes, big-endian. ntfs-3g and ntfs3 both provide it; listxattr never
// shows it. A smaller buffer than four bytes makes ntfs-3g answer EIO.
inline constexpr char NTFS_ATTRIBUTE_NAME[] = "system.ntfs_attrib_be";

// The word Windows clients show for a file without an NTFS word: directory
// or archive, read-only when no write bit is set, and a reparse point for a
// symbolic link (a directory when `targetIsDirectory`).
uint32_t derivedAttributes(mode_t mode, bool targetIsDirectory);

// Every call below names its file by `name` relative to the open
// `directory` (an entry of a listing), or by the path `name` when
// `directory` is AT_FDCWD (a root named on the command line).

// Reads the NTFS word of the file itself, never of a link's target. False
// when the file system keeps none or the file cannot be read.
bool readNtfsAttributes(int directory, const char* name, uint32_t& attributes);

// The word of the file without following a final link: the NTFS word, else
// the derived word; INVALID_FILE_ATTRIBUTES when neither can be read.
uint32_t readAttributes(int directory, const char* name);

// The derived word alone, for a file on a file system known to keep no NTFS
// words: one system call less per file.
uint32_t readDerivedAttributes(int directory, const char* name);

// False when the file system of the open `directory` keeps no NTFS words at
// all (as opposed to this one directory having none).
bool keepsNtfsWords(int directory);

// Writes the NTFS word of the file itself. False where the file system has
// no such word or refuses the change.
bool writeAttributes(int directory, const char* name, uint32_t attributes);

// What a directory listing reports for an entry of type `direntType` (a
// DT_* value): only the directory and reparse-point bits count. Regular
// files and directories cost no system call.
uint32_t entryAttributes(unsigned char direntType, int directory, const char* name);

}  // namespace tavrin
