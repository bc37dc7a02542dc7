// The attribute word of a file on Linux: the NTFS word where the file
// system keeps one, else the word a Windows client would see for the file.
#pragma once

#include <sys/types.h>

#include <cstdint>

namespace tavrin {

// Four bytes, big-endian. ntfs-3g and ntfs3 both provide it; listxattr never
// shows it. A smaller buffer than four bytes makes ntfs-3g answer EIO.
inline constexpr char NTFS_ATTRIBUTE_NAME[] = "system.ntfs_attrib_be";

// ntfs3's own directory flag, which it reports in place of 0x10.
inline constexpr uint32_t NTFS3_DIRECTORY_FLAG = 0x10000000;

// The stored NTFS word as Windows reports it, whichever driver read it:
// ntfs3's directory flag becomes the directory bit and a stored 0 reads as
// NORMAL. Only ever applied to a word read, never to one written.
uint32_t windowsWord(uint32_t stored);

// Where a reparse point leads, for the words that need to know.
enum class LinkTarget { File, Directory, Missing };

// True when `word` names a reparse point whose kind its bits leave open: only
// where the target leads tells a file link from a directory one.
bool needsLinkTarget(uint32_t word);

// `word` with the directory bit added when it names a reparse point that
// leads to a directory or nowhere: junctions and mount points always name
// directories, a dangling one still does (ntfs3 shows them without 0x10).
uint32_t reparseWord(uint32_t word, LinkTarget target);

// The word Windows clients show for a file without an NTFS word: directory
// or archive, read-only when no write bit is set, and a reparse point for a
// symbolic link (a directory when `targetIsDirectory`).
uint32_t derivedAttributes(mode_t mode, bool targetIsDirectory);

// Every call below names its file by `name` relative to the open
// `directory` (an entry of a listing), or by the path `name` when
// `directory` is AT_FDCWD (a root named on the command line).

// Reads the NTFS word of the file itself, never of a link's target, as
// stored. False when the file system keeps none or the file cannot be read.
bool readNtfsAttributes(int directory, const char* name, uint32_t& attributes);

// The stored word of `name` in `directory` as Windows reports it
// (windowsWord, reparseWord): whoever reads a word passes it here. The
// target is looked up only where the word leaves it open.
uint32_t ntfsWordAt(int directory, const char* name, uint32_t stored);

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
// files cost no system call, nor do directories where the file system keeps
// no NTFS words. Where it keeps them (`ntfsWords`) the word decides, not the
// Linux type: ntfs-3g's own links are files to Windows.
uint32_t entryAttributes(unsigned char direntType, int directory, const char* name,
                         bool ntfsWords);

}  // namespace tavrin
