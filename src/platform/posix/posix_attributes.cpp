#include "platform/posix/posix_attributes.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <cerrno>

#include "platform/platform.h"
#include "platform/posix/posix_xattr.h"

namespace tavrin {
namespace {

// The file system keeps no NTFS word here (as opposed to: the file is gone
// or not accessible).
bool noSuchAttribute(int error) {
  return error == ENODATA || error == ENOTSUP || error == EOPNOTSUPP;
}

LinkTarget linkTarget(int directory, const char* name) {
  struct stat target {};
  if (fstatat(directory, name, &target, 0) != 0) return LinkTarget::Missing;
  return S_ISDIR(target.st_mode) ? LinkTarget::Directory : LinkTarget::File;
}

// The derived word of a link on a file system without NTFS words.
uint32_t derivedLinkAttributes(int directory, const char* name) {
  return derivedAttributes(S_IFLNK | S_IWUSR,
                           linkTarget(directory, name) == LinkTarget::Directory);
}

// What the listing reports where no NTFS word is kept (or it cannot be read).
uint32_t derivedEntryAttributes(unsigned char direntType, int directory, const char* name) {
  switch (direntType) {
    case DT_DIR:
      return FILE_ATTRIBUTE_DIRECTORY;
    case DT_LNK:
      return derivedLinkAttributes(directory, name);
    case DT_UNKNOWN: {
      struct stat status {};
      // Gone since the listing: let the rule find out and say so.
      if (fstatat(directory, name, &status, AT_SYMLINK_NOFOLLOW) != 0) return FILE_ATTRIBUTE_ARCHIVE;
      if (S_ISDIR(status.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
      if (S_ISLNK(status.st_mode)) return derivedLinkAttributes(directory, name);
      return FILE_ATTRIBUTE_ARCHIVE;
    }
    default:  // regular files, and devices, pipes and sockets as files
      return FILE_ATTRIBUTE_ARCHIVE;
  }
}

}  // namespace

uint32_t windowsWord(uint32_t stored) {
  if (stored & NTFS3_DIRECTORY_FLAG) {
    stored = (stored & ~NTFS3_DIRECTORY_FLAG) | FILE_ATTRIBUTE_DIRECTORY;
  }
  return stored == 0 ? FILE_ATTRIBUTE_NORMAL : stored;
}

bool needsLinkTarget(uint32_t word) {
  return (word & FILE_ATTRIBUTE_REPARSE_POINT) && !(word & FILE_ATTRIBUTE_DIRECTORY);
}

uint32_t reparseWord(uint32_t word, LinkTarget target) {
  if (needsLinkTarget(word) && target != LinkTarget::File) word |= FILE_ATTRIBUTE_DIRECTORY;
  return word;
}

uint32_t derivedAttributes(mode_t mode, bool targetIsDirectory) {
  uint32_t word = 0;
  if (S_ISLNK(mode)) {
    word = FILE_ATTRIBUTE_REPARSE_POINT |
           (targetIsDirectory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE);
  } else {
    word = S_ISDIR(mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
  }
  if ((mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) word |= FILE_ATTRIBUTE_READONLY;
  return word;
}

bool readNtfsAttributes(int directory, const char* name, uint32_t& attributes) {
  unsigned char value[8];
  const ssize_t length =
      getEntryAttribute(directory, name, NTFS_ATTRIBUTE_NAME, value, sizeof value);
  if (length != 4) {
    if (length >= 0) errno = EIO;  // a word of another size is no word we know
    return false;
  }
  attributes = uint32_t{value[0]} << 24 | uint32_t{value[1]} << 16 | uint32_t{value[2]} << 8 |
               uint32_t{value[3]};
  return true;
}

uint32_t ntfsWordAt(int directory, const char* name, uint32_t stored) {
  const uint32_t word = windowsWord(stored);
  return needsLinkTarget(word) ? reparseWord(word, linkTarget(directory, name)) : word;
}

uint32_t readAttributes(int directory, const char* name) {
  uint32_t stored = 0;
  if (readNtfsAttributes(directory, name, stored)) return ntfsWordAt(directory, name, stored);
  if (!noSuchAttribute(errno)) return INVALID_FILE_ATTRIBUTES;
  return readDerivedAttributes(directory, name);
}

uint32_t readDerivedAttributes(int directory, const char* name) {
  struct stat status {};
  if (fstatat(directory, name, &status, AT_SYMLINK_NOFOLLOW) != 0) return INVALID_FILE_ATTRIBUTES;
  bool targetIsDirectory = false;
  if (S_ISLNK(status.st_mode)) {
    struct stat target {};
    targetIsDirectory = fstatat(directory, name, &target, 0) == 0 && S_ISDIR(target.st_mode);
  }
  return derivedAttributes(status.st_mode, targetIsDirectory);
}

bool keepsNtfsWords(int directory) {
  unsigned char value[8];
  return fgetxattr(directory, NTFS_ATTRIBUTE_NAME, value, sizeof value) >= 0 ||
         (errno != ENOTSUP && errno != EOPNOTSUPP);
}

bool writeAttributes(int directory, const char* name, uint32_t attributes) {
  const unsigned char value[4] = {
      static_cast<unsigned char>(attributes >> 24), static_cast<unsigned char>(attributes >> 16),
      static_cast<unsigned char>(attributes >> 8), static_cast<unsigned char>(attributes)};
  return setEntryAttribute(directory, name, NTFS_ATTRIBUTE_NAME, value, sizeof value) == 0;
}

uint32_t entryAttributes(unsigned char direntType, int directory, const char* name,
                         bool ntfsWords) {
  if (direntType == DT_REG || !ntfsWords) return derivedEntryAttributes(direntType, directory, name);
  uint32_t stored = 0;
  if (!readNtfsAttributes(directory, name, stored)) {
    return derivedEntryAttributes(direntType, directory, name);
  }
  const uint32_t word = ntfsWordAt(directory, name, stored);
  return direntType == DT_DIR ? word | FILE_ATTRIBUTE_DIRECTORY : word;
}

}  // namespace tavrin
