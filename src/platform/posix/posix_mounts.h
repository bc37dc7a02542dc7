// The NTFS volumes mounted on this machine, standing in for the fixed drives.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrin {

// One line of /proc/self/mountinfo, escapes decoded.
struct MountEntry {
  unsigned major = 0;
  unsigned minor = 0;
  std::string root;        // the folder of the file system mounted here
  std::string mountPoint;
  std::string fsType;
  std::string source;
  // Who made the mount, where the file system says (FUSE's "user_id=" among
  // the super options): a FUSE mount may be made by any user.
  std::optional<uid_t> owner;
};

// Undoes the kernel's octal escapes (\040 blank, \011 tab, \012 line feed,
// \134 backslash); anything else is kept as it is.
std::string decodeMountField(std::string_view field);

// Empty when the line is not a well-formed mountinfo line.
std::optional<MountEntry> parseMountInfoLine(std::string_view line);
std::vector<MountEntry> parseMountInfo(std::string_view text);

// Whether a mount is an NTFS volume is decided without a call into the
// mount: a FUSE daemon that never answers would hang the run.
enum class NtfsKind {
  NotNtfs,
  Ntfs,          // the type names it: the kernel driver, or FUSE with an NTFS subtype
  IfBootSector,  // plain FUSE, any file system: only its source can tell
};
NtfsKind classifyFileSystem(std::string_view fsType);

// True when the block device or image file `source` starts with an NTFS boot
// sector ("NTFS    " at offset 3). Anything else (a relative name, a folder,
// a pipe, a short file) is not one.
bool hasNtfsBootSector(const std::string& source);

// True when `path` lies inside one of the FUSE mounts of `mounts`, where
// opening it would wait for that mount's daemon.
bool insideFuseMount(const std::string& path, const std::vector<MountEntry>& mounts);

// True when the mount's source, read without a call into any FUSE mount,
// holds an NTFS volume.
bool sourceIsNtfs(const MountEntry& mount, const std::vector<MountEntry>& mounts);

// Each NTFS volume once, in mount order: whole volumes only (no bind mount of
// a subfolder), a volume mounted twice only where it appears first, made by
// root or by `user` (another user's FUSE daemon may never answer, and its
// volume is not this user's to scan). Plain FUSE mounts count when
// `confirm(mount)` says so; it is asked of none of the others.
std::vector<MountEntry> selectNtfsVolumes(const std::vector<MountEntry>& mounts,
                                          const std::function<bool(const MountEntry&)>& confirm,
                                          uid_t user);

// What statx tells of a directory entry of the open `directory` (on device
// `directoryDevice`) that is a directory itself.
enum class MountCheck {
  NotMountPoint,
  MountPoint,  // another device, or the root of a mount (a bind mount)
  Unknown,     // same device, and the kernel does not mark mount roots
};
MountCheck checkMountPoint(int directory, const char* name, dev_t directoryDevice);

// DRIVE_REMOVABLE when the disk that holds `volume` says it is removable
// under `sysfs` (normally "/sys"); DRIVE_FIXED otherwise, images included.
unsigned driveTypeOf(const MountEntry& volume, const std::string& sysfs);

// The whole content of a file, read as it comes (proc and sysfs files have
// no meaningful size). Empty when it cannot be read.
std::optional<std::string> readWholeFile(const std::string& path);

}  // namespace tavrin
