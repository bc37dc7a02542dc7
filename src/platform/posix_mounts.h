// The NTFS volumes mounted on this machine, standing in for the fixed drives.
#pragma once

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
};

// Undoes the kernel's octal escapes (\040 blank, \011 tab, \012 line feed,
// \134 backslash); anything else is kept as it is.
std::string decodeMountField(std::string_view field);

// Empty when the line is not a well-formed mountinfo line.
std::optional<MountEntry> parseMountInfoLine(std::string_view line);
std::vector<MountEntry> parseMountInfo(std::string_view text);

enum class NtfsKind {
  NotNtfs,
  Ntfs,          // the kernel driver says so
  IfConfirmed,   // FUSE: any file system; only an NTFS word on the root tells
};
NtfsKind classifyFileSystem(std::string_view fsType);

// Each NTFS volume once, in mount order: whole volumes only (no bind mount of
// a subfolder), a volume mounted twice only where it appears first. FUSE
// mounts count when `confirm(mountPoint)` says so.
std::vector<MountEntry> selectNtfsVolumes(const std::vector<MountEntry>& mounts,
                                          const std::function<bool(const std::string&)>& confirm);

// DRIVE_REMOVABLE when the disk that holds `volume` says it is removable
// under `sysfs` (normally "/sys"); DRIVE_FIXED otherwise, images included.
unsigned driveTypeOf(const MountEntry& volume, const std::string& sysfs);

// The whole content of a file, read as it comes (proc and sysfs files have
// no meaningful size). Empty when it cannot be read.
std::optional<std::string> readWholeFile(const std::string& path);

}  // namespace tavrin
