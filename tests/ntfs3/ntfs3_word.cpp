// The stored NTFS word of files, for the ntfs3 suite (no getfattr in the VM):
//   ntfs3_word PATH...          prints "0x%08x PATH", or "error PATH"
//   ntfs3_word -s WORD PATH...  stores WORD (hexadecimal) as given
// Links are never followed. Exit code 1 when any file failed.
#include <sys/xattr.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char NAME[] = "system.ntfs_attrib_be";

bool show(const char* path) {
  unsigned char value[8];
  if (lgetxattr(path, NAME, value, sizeof value) != 4) {
    std::printf("error %s\n", path);
    return false;
  }
  const unsigned long word = static_cast<unsigned long>(value[0]) << 24 |
                             static_cast<unsigned long>(value[1]) << 16 |
                             static_cast<unsigned long>(value[2]) << 8 | value[3];
  std::printf("0x%08lx %s\n", word, path);
  return true;
}

bool store(unsigned long word, const char* path) {
  const unsigned char value[4] = {
      static_cast<unsigned char>(word >> 24), static_cast<unsigned char>(word >> 16),
      static_cast<unsigned char>(word >> 8), static_cast<unsigned char>(word)};
  return lsetxattr(path, NAME, value, sizeof value, 0) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  bool ok = true;
  if (argc > 2 && std::strcmp(argv[1], "-s") == 0) {
    const unsigned long word = std::strtoul(argv[2], nullptr, 16);
    for (int i = 3; i < argc; ++i) {
      if (!store(word, argv[i])) {
        std::printf("error %s\n", argv[i]);
        ok = false;
      }
    }
  } else {
    for (int i = 1; i < argc; ++i) ok = show(argv[i]) && ok;
  }
  return ok ? 0 : 1;
}
