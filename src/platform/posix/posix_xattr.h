// Extended attributes of one entry of an open directory. The entry is named
// relative to the directory's descriptor, so a folder of the path renamed or
// swapped for a link meanwhile cannot lead the call anywhere else.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace tavrin {

// `directory` is an open directory, or AT_FDCWD to take `name` as a path
// (for roots named on the command line). Final links are never followed.
// Like lgetxattr: the attribute's size, or -1 with errno set.
ssize_t getEntryAttribute(int directory, const char* name, const char* attribute, void* value,
                          size_t size);
// Like lsetxattr with no flags: 0, or -1 with errno set.
int setEntryAttribute(int directory, const char* name, const char* attribute, const void* value,
                      size_t size);

}  // namespace tavrin
