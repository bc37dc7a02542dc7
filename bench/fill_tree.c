/* Fills a folder with FILES one-byte files in folders of 20 to 200 files
 * each (sizes from a fixed sequence, so every run makes the same tree); one
 * file in a hundred gets the suspect word 0x3127. For the file-table bench:
 *   fill_tree DIR FILES */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: fill_tree DIR FILES\n");
    return 2;
  }
  const long total = atol(argv[2]);
  const unsigned char suspect[4] = {0, 0, 0x31, 0x27};
  unsigned long seed = 12345;
  char path[4096];
  long made = 0;
  for (long folder = 0; made < total; ++folder) {
    seed = seed * 6364136223846793005UL + 1442695040888963407UL;
    const long files = 20 + (long)((seed >> 33) % 181);
    snprintf(path, sizeof path, "%s/folder_%05ld", argv[1], folder);
    if (mkdir(path, 0755) != 0) {
      perror(path);
      return 1;
    }
    for (long f = 0; f < files && made < total; ++f, ++made) {
      snprintf(path, sizeof path, "%s/folder_%05ld/document_%04ld.txt", argv[1], folder, f);
      const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL, 0644);
      if (fd < 0 || write(fd, "x", 1) != 1 || close(fd) != 0) {
        perror(path);
        return 1;
      }
      if (made % 100 == 7 && lsetxattr(path, "system.ntfs_attrib_be", suspect, 4, 0) != 0) {
        perror(path);
        return 1;
      }
    }
    if (folder % 500 == 0) fprintf(stderr, "\r%ld files", made);
  }
  fprintf(stderr, "\r%ld files\n", made);
  return 0;
}
