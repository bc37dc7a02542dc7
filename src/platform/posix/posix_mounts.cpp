#include "platform/posix/posix_mounts.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <set>
#include <utility>

#include "platform/platform.h"
#include "platform/posix/posix_fd.h"
#include "platform/posix/posix_signals.h"

namespace tavrin {
namespace {

bool isOctal(char c) { return c >= '0' && c <= '7'; }

// Splits off the next blank-separated field of `rest`.
std::string_view nextField(std::string_view& rest) {
  const size_t start = rest.find_first_not_of(' ');
  if (start == std::string_view::npos) {
    rest = {};
    return {};
  }
  rest.remove_prefix(start);
  const size_t end = rest.find(' ');
  const std::string_view field = rest.substr(0, end);
  rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
  return field;
}

bool parseNumber(std::string_view text, unsigned& value) {
  if (text.empty() || text.size() > 9) return false;
  value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return true;
}

// The "user_id=" of the super options. A value that is no user number (too
// long included) names nobody tavrin runs as.
std::optional<uid_t> mountOwner(std::string_view superOptions) {
  constexpr std::string_view KEY = "user_id=";
  while (!superOptions.empty()) {
    const size_t comma = superOptions.find(',');
    const std::string_view option = superOptions.substr(0, comma);
    superOptions.remove_prefix(comma == std::string_view::npos ? superOptions.size() : comma + 1);
    if (!option.starts_with(KEY)) continue;
    unsigned user = 0;
    if (!parseNumber(option.substr(KEY.size()), user)) return static_cast<uid_t>(-1);
    return static_cast<uid_t>(user);
  }
  return std::nullopt;
}

std::string directoryOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string baseNameOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

struct Freer {
  void operator()(char* memory) const { std::free(memory); }
};

std::optional<std::string> resolvedPath(const std::string& path) {
  const std::unique_ptr<char, Freer> resolved(realpath(path.c_str(), nullptr));
  if (!resolved) return std::nullopt;
  return std::string(resolved.get());
}

}  // namespace

std::string decodeMountField(std::string_view field) {
  std::string decoded;
  decoded.reserve(field.size());
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' &&
        field[i + 1] <= '3' && isOctal(field[i + 2]) && isOctal(field[i + 3])) {
      decoded += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                   (field[i + 3] - '0'));
      i += 3;
    } else {
      decoded += field[i];
    }
  }
  return decoded;
}

std::optional<MountEntry> parseMountInfoLine(std::string_view line) {
  // id parent major:minor root mount-point options [optional...] - type source super-options
  std::string_view rest = line;
  MountEntry entry;
  nextField(rest);  // mount id
  nextField(rest);  // parent id
  const std::string_view device = nextField(rest);
  const size_t colon = device.find(':');
  if (colon == std::string_view::npos || !parseNumber(device.substr(0, colon), entry.major) ||
      !parseNumber(device.substr(colon + 1), entry.minor)) {
    return std::nullopt;
  }
  const std::string_view root = nextField(rest);
  const std::string_view mountPoint = nextField(rest);
  if (root.empty() || mountPoint.empty()) return std::nullopt;
  nextField(rest);  // mount options
  for (std::string_view field = nextField(rest); field != "-"; field = nextField(rest)) {
    if (field.empty()) return std::nullopt;  // no separator
  }
  const std::string_view fsType = nextField(rest);
  const std::string_view source = nextField(rest);
  if (fsType.empty()) return std::nullopt;
  entry.owner = mountOwner(nextField(rest));
  entry.root = decodeMountField(root);
  entry.mountPoint = decodeMountField(mountPoint);
  entry.fsType = decodeMountField(fsType);
  entry.source = decodeMountField(source);
  return entry;
}

std::vector<MountEntry> parseMountInfo(std::string_view text) {
  std::vector<MountEntry> entries;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    if (std::optional<MountEntry> entry = parseMountInfoLine(text.substr(0, end))) {
      entries.push_back(std::move(*entry));
    }
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  }
  return entries;
}

NtfsKind classifyFileSystem(std::string_view fsType) {
  if (fsType == "ntfs3" || fsType == "ntfs" || fsType == "fuse.ntfs-3g" ||
      fsType == "fuse.lowntfs-3g" || fsType == "fuseblk.ntfs-3g") {
    return NtfsKind::Ntfs;
  }
  // ntfs-3g shows as fuseblk on a block device, as fuse on an image file.
  if (fsType == "fuseblk" || fsType == "fuse") return NtfsKind::IfBootSector;
  return NtfsKind::NotNtfs;
}

bool hasNtfsBootSector(const std::string& source) {
  if (source.empty() || source[0] != '/') return false;
  // Non-blocking: a pipe named as the source must not hold the run.
  const UniqueFd file(open(source.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat status {};
  if (!file.valid() || fstat(file.get(), &status) != 0 ||
      !(S_ISREG(status.st_mode) || S_ISBLK(status.st_mode))) {
    return false;
  }
  constexpr std::string_view SIGNATURE = "NTFS    ";
  char start[3 + SIGNATURE.size()];
  ssize_t length = 0;
  do {
    length = pread(file.get(), start, sizeof start, 0);
  } while (length < 0 && errno == EINTR && caughtStopSignal() == 0);
  return length == static_cast<ssize_t>(sizeof start) &&
         std::string_view(start + 3, SIGNATURE.size()) == SIGNATURE;
}

bool insideFuseMount(const std::string& path, const std::vector<MountEntry>& mounts) {
  for (const MountEntry& mount : mounts) {
    const std::string_view type = mount.fsType;
    if (type != "fuse" && type != "fuseblk" && !type.starts_with("fuse.") &&
        !type.starts_with("fuseblk.")) {
      continue;
    }
    const std::string& point = mount.mountPoint;
    if (point == "/" || path == point ||
        (path.starts_with(point) && path.size() > point.size() && path[point.size()] == '/')) {
      return true;
    }
  }
  return false;
}

bool sourceIsNtfs(const MountEntry& mount, const std::vector<MountEntry>& mounts) {
  return !insideFuseMount(mount.source, mounts) && hasNtfsBootSector(mount.source);
}

MountCheck checkMountPoint(int directory, const char* name, dev_t directoryDevice) {
  struct statx status {};
  // Cached facts are enough (no round trip to a FUSE daemon), and an
  // automount point is not triggered.
  if (statx(directory, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | AT_STATX_DONT_SYNC,
            STATX_TYPE, &status) != 0) {
    return MountCheck::NotMountPoint;  // gone: the walk finds out when it opens it
  }
  if (makedev(status.stx_dev_major, status.stx_dev_minor) != directoryDevice) {
    return MountCheck::MountPoint;
  }
  if (status.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) {
    return status.stx_attributes & STATX_ATTR_MOUNT_ROOT ? MountCheck::MountPoint
                                                         : MountCheck::NotMountPoint;
  }
  return MountCheck::Unknown;
}

std::vector<MountEntry> selectNtfsVolumes(const std::vector<MountEntry>& mounts,
                                          const std::function<bool(const MountEntry&)>& confirm,
                                          uid_t user) {
  std::vector<MountEntry> volumes;
  std::set<std::pair<unsigned, unsigned>> seen;
  for (const MountEntry& mount : mounts) {
    if (mount.root != "/" || seen.count({mount.major, mount.minor}) != 0) continue;
    if (mount.owner && *mount.owner != 0 && *mount.owner != user) continue;
    const NtfsKind kind = classifyFileSystem(mount.fsType);
    if (kind == NtfsKind::NotNtfs) continue;
    if (kind == NtfsKind::IfBootSector && !confirm(mount)) continue;
    seen.insert({mount.major, mount.minor});
    volumes.push_back(mount);
  }
  return volumes;
}

unsigned driveTypeOf(const MountEntry& volume, const std::string& sysfs) {
  std::string device = sysfs + "/dev/block/" + std::to_string(volume.major) + ":" +
                       std::to_string(volume.minor);
  struct stat status {};
  if (access(device.c_str(), F_OK) != 0) {
    // FUSE gives the mount a device number of its own; the source names the disk.
    if (stat(volume.source.c_str(), &status) != 0 || !S_ISBLK(status.st_mode)) {
      return DRIVE_FIXED;  // an image file
    }
    device = sysfs + "/dev/block/" + std::to_string(major(status.st_rdev)) + ":" +
             std::to_string(minor(status.st_rdev));
  }
  std::optional<std::string> disk = resolvedPath(device);
  if (!disk) return DRIVE_FIXED;
  if (access((*disk + "/partition").c_str(), F_OK) == 0) disk = directoryOf(*disk);
  const std::optional<std::string> removable =
      readWholeFile(sysfs + "/block/" + baseNameOf(*disk) + "/removable");
  return removable && !removable->empty() && (*removable)[0] == '1' ? DRIVE_REMOVABLE
                                                                     : DRIVE_FIXED;
}

std::optional<std::string> readWholeFile(const std::string& path) {
  const UniqueFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.valid()) return std::nullopt;
  std::string content;
  char chunk[8192];
  for (;;) {
    const ssize_t length = read(file.get(), chunk, sizeof chunk);
    if (length == 0) return content;
    if (length < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    content.append(chunk, static_cast<size_t>(length));
  }
}

}  // namespace tavrin
