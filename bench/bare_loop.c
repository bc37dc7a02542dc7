/* The least a listall walk can do: readdir, lgetxattr of the NTFS word per
 * file, lstat where there is no such word, one record line per file. The
 * bench compares tavrin against it. */
#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/xattr.h>

static char path[8192];

static void walk(size_t length) {
  DIR *dir = opendir(path);
  if (!dir) return;
  path[length++] = '/';
  struct dirent *entry;
  while ((entry = readdir(dir)) != NULL) {
    const char *name = entry->d_name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
    const size_t nameLength = strlen(name);
    if (length + nameLength + 1 >= sizeof path) continue;
    memcpy(path + length, name, nameLength + 1);
    if (entry->d_type == DT_DIR) {
      walk(length + nameLength);
      continue;
    }
    unsigned char value[8];
    unsigned word;
    if (lgetxattr(path, "system.ntfs_attrib_be", value, sizeof value) == 4) {
      word = (unsigned)value[0] << 24 | (unsigned)value[1] << 16 | (unsigned)value[2] << 8 | value[3];
    } else {
      struct stat status;
      if (lstat(path, &status) != 0) continue;
      word = (status.st_mode & 0222) ? 0x20 : 0x21;
    }
    printf("\n%d, %s", (int)word, path);
  }
  closedir(dir);
  path[length - 1] = '\0';
}

int main(int argc, char **argv) {
  if (argc != 2 || strlen(argv[1]) >= sizeof path) {
    fprintf(stderr, "usage: bare_loop DIR\n");
    return 2;
  }
  strcpy(path, argv[1]);
  walk(strlen(path));
  return 0;
}
