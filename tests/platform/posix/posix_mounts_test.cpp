// Which mounts the Linux program treats as fixed drives, and their types.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/posix/posix_mounts.h"
#include "platform/posix/posix_platform.h"

namespace tavrin {
namespace {

TEST(MountField, DecodesTheKernelsOctalEscapes) {
  EXPECT_EQ("/mnt/my disk", decodeMountField("/mnt/my\\040disk"));
  EXPECT_EQ("a\tb\nc\\d", decodeMountField("a\\011b\\012c\\134d"));
  // Not an escape: kept as it is.
  EXPECT_EQ("x\\", decodeMountField("x\\"));
  EXPECT_EQ("x\\04", decodeMountField("x\\04"));
  EXPECT_EQ("x\\089", decodeMountField("x\\089"));
  EXPECT_EQ("x\\400", decodeMountField("x\\400"));
  EXPECT_EQ("\xe9", decodeMountField("\\351"));
}

TEST(MountInfoLine, ReadsEveryFieldAroundTheOptionalOnes) {
  const auto entry = parseMountInfoLine(
      "36 35 8:17 / /media/win\\040c rw,noatime shared:1 master:2 - fuseblk /dev/sdb1 "
      "rw,user_id=0");
  ASSERT_TRUE(entry);
  EXPECT_EQ(8u, entry->major);
  EXPECT_EQ(17u, entry->minor);
  EXPECT_EQ("/", entry->root);
  EXPECT_EQ("/media/win c", entry->mountPoint);
  EXPECT_EQ("fuseblk", entry->fsType);
  EXPECT_EQ("/dev/sdb1", entry->source);
  EXPECT_EQ(std::optional<uid_t>(0), entry->owner);

  const auto plain = parseMountInfoLine("45 27 0:40 /sub /tmp/m rw - ntfs3 /tmp/vol\\040a.img rw");
  ASSERT_TRUE(plain);
  EXPECT_EQ(0u, plain->major);
  EXPECT_EQ(40u, plain->minor);
  EXPECT_EQ("/sub", plain->root);
  EXPECT_EQ("/tmp/vol a.img", plain->source);
  EXPECT_EQ(std::nullopt, plain->owner);
}

// FUSE names the user who made the mount among the super options.
TEST(MountInfoLine, OwnerFromTheSuperOptions) {
  const auto owner = [](const char* superOptions) {
    const std::string line = std::string("50 1 0:60 / /m rw - fuse /i.img ") + superOptions;
    return parseMountInfoLine(line)->owner;
  };
  EXPECT_EQ(std::optional<uid_t>(1000),
            owner("rw,user_id=1000,group_id=1000,default_permissions,allow_other"));
  EXPECT_EQ(std::optional<uid_t>(0), owner("user_id=0"));
  EXPECT_EQ(std::optional<uid_t>(7), owner("rw,group_id=0,user_id=7"));
  EXPECT_EQ(std::nullopt, owner("rw,group_id=0"));
  EXPECT_EQ(std::nullopt, owner("rw,xuser_id=0"));
  // Not a user number: nobody tavrin runs as.
  EXPECT_EQ(std::optional<uid_t>(static_cast<uid_t>(-1)), owner("rw,user_id=12345678901"));
  EXPECT_EQ(std::optional<uid_t>(static_cast<uid_t>(-1)), owner("rw,user_id="));
  EXPECT_EQ(std::nullopt, parseMountInfoLine("50 1 0:60 / /m rw - fuse /i.img")->owner);
}

TEST(MountInfoLine, RefusesMalformedLines) {
  EXPECT_FALSE(parseMountInfoLine(""));
  EXPECT_FALSE(parseMountInfoLine("36 35 8:17 / /mnt rw shared:1 fuseblk /dev/sdb1 rw"));
  EXPECT_FALSE(parseMountInfoLine("36 35 817 / /mnt rw - ext4 /dev/sdb1 rw"));
  EXPECT_FALSE(parseMountInfoLine("36 35 a:1 / /mnt rw - ext4 /dev/sdb1 rw"));
  EXPECT_FALSE(parseMountInfoLine("36 35 8:1 / /mnt rw -"));
  EXPECT_FALSE(parseMountInfoLine("36 35 8:1"));
}

TEST(MountInfo, KeepsTheWellFormedLinesInOrder) {
  const auto entries = parseMountInfo(
      "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n"
      "garbage\n"
      "\n"
      "2 1 8:2 / /boot rw - vfat /dev/sda2 rw");
  ASSERT_EQ(2u, entries.size());
  EXPECT_EQ("/", entries[0].mountPoint);
  EXPECT_EQ("/boot", entries[1].mountPoint);
}

TEST(NtfsVolumes, EachWholeVolumeOnceInMountOrder) {
  const auto mounts = parseMountInfo(
      "1 0 254:0 / / rw - ext4 /dev/vda rw\n"
      "2 1 8:3 /Users /home/win rw - ntfs3 /dev/sda3 rw\n"  // a subfolder bound first
      "3 1 8:3 / /mnt/c rw - ntfs3 /dev/sda3 rw\n"
      "4 1 8:3 / /mnt/again rw - ntfs3 /dev/sda3 rw\n"      // same volume again
      "5 1 0:41 / /mnt/sshfs rw - fuse.sshfs host:/ rw\n"
      "6 1 0:40 / /mnt/img rw - fuse /tmp/vol.img rw\n"
      "7 1 0:42 / /mnt/other rw - fuse other rw\n"
      "8 1 8:17 / /media/usb rw - fuseblk /dev/sdb1 rw\n"
      "9 1 8:18 / /mnt/old rw - ntfs /dev/sdb2 rw\n"
      "10 1 0:43 / /mnt/named rw - fuse.ntfs-3g /dev/sdc1 rw\n"
      "11 1 8:33 / /mnt/NTFS rw - NTFS3 /dev/sdc1 rw\n");
  std::vector<std::string> asked;
  const auto volumes = selectNtfsVolumes(
      mounts,
      [&](const MountEntry& mount) {
        asked.push_back(mount.mountPoint);
        return mount.mountPoint != "/mnt/other";
      },
      0);
  std::vector<std::string> points;
  for (const MountEntry& volume : volumes) points.push_back(volume.mountPoint);
  EXPECT_EQ((std::vector<std::string>{"/mnt/c", "/mnt/img", "/media/usb", "/mnt/old",
                                      "/mnt/named"}),
            points);
  // Only plain FUSE mounts need a look at their source.
  EXPECT_EQ((std::vector<std::string>{"/mnt/img", "/mnt/other", "/media/usb"}), asked);
}

// Another user's FUSE mount is left out before anything is asked of it,
// even of its source: its daemon may never answer.
TEST(NtfsVolumes, OnlyRootsAndTheUsersOwnMounts) {
  const auto mounts = parseMountInfo(
      "1 0 0:40 / /mnt/root rw - fuse /r.img rw,user_id=0,group_id=0\n"
      "2 1 0:41 / /mnt/ann rw - fuse /a.img rw,user_id=1000,group_id=1000\n"
      "3 1 0:42 / /mnt/bob rw - fuseblk /dev/sdb1 rw,user_id=1001,group_id=1001\n"
      "4 1 0:43 / /mnt/named rw - fuse.ntfs-3g /dev/sdc1 rw,user_id=1001\n"
      "5 1 8:3 / /mnt/c rw - ntfs3 /dev/sda3 rw\n"
      "6 1 0:44 / /mnt/odd rw - fuse /o.img rw,user_id=x\n");
  const auto chosen = [&](uid_t user, std::vector<std::string>& asked) {
    std::vector<std::string> points;
    const auto confirm = [&](const MountEntry& mount) {
      asked.push_back(mount.mountPoint);
      return true;
    };
    for (const MountEntry& volume : selectNtfsVolumes(mounts, confirm, user)) {
      points.push_back(volume.mountPoint);
    }
    return points;
  };
  std::vector<std::string> asked;
  EXPECT_EQ((std::vector<std::string>{"/mnt/root", "/mnt/c"}), chosen(0, asked));
  EXPECT_EQ((std::vector<std::string>{"/mnt/root"}), asked);
  asked.clear();
  EXPECT_EQ((std::vector<std::string>{"/mnt/root", "/mnt/bob", "/mnt/named", "/mnt/c"}),
            chosen(1001, asked));
  EXPECT_EQ((std::vector<std::string>{"/mnt/root", "/mnt/bob"}), asked);
}

TEST(NtfsVolumes, TypeNamesDecideWithoutAskingTheMount) {
  for (const char* type : {"ntfs3", "ntfs", "fuse.ntfs-3g", "fuse.lowntfs-3g", "fuseblk.ntfs-3g"}) {
    EXPECT_EQ(NtfsKind::Ntfs, classifyFileSystem(type)) << type;
  }
  EXPECT_EQ(NtfsKind::IfBootSector, classifyFileSystem("fuse"));
  EXPECT_EQ(NtfsKind::IfBootSector, classifyFileSystem("fuseblk"));
  for (const char* type : {"fuse.sshfs", "fuse.ntfs-3gx", "ext4", "vfat", "NTFS3", "fusectl", ""}) {
    EXPECT_EQ(NtfsKind::NotNtfs, classifyFileSystem(type)) << type;
  }
}

TEST(NtfsVolumes, SourcesInsideFuseMountsAreNeverOpened) {
  const auto mounts = parseMountInfo(
      "1 0 254:0 / / rw - ext4 /dev/vda rw\n"
      "2 1 0:40 / /mnt/f rw - fuse x rw\n"
      "3 1 0:41 / /net/h rw - fuse.sshfs h:/ rw\n"
      "4 1 0:42 / /media/u rw - fuseblk /dev/sdb1 rw\n");
  EXPECT_TRUE(insideFuseMount("/mnt/f", mounts));
  EXPECT_TRUE(insideFuseMount("/mnt/f/vol.img", mounts));
  EXPECT_TRUE(insideFuseMount("/net/h/a/b.img", mounts));
  EXPECT_TRUE(insideFuseMount("/media/u/x", mounts));
  EXPECT_FALSE(insideFuseMount("/mnt/fx/vol.img", mounts));
  EXPECT_FALSE(insideFuseMount("/mnt/vol.img", mounts));
  EXPECT_FALSE(insideFuseMount("/dev/sdb1", mounts));
  EXPECT_TRUE(insideFuseMount("/anything", parseMountInfo("9 0 0:50 / / rw - fuse y rw\n")));
}

class BootSectors : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/tavrin-boot-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(name));
    dir_ = name;
  }
  void TearDown() override { ASSERT_EQ(0, system(("rm -rf '" + dir_ + "'").c_str())); }
  std::string write(const std::string& name, const std::string& content) {
    std::ofstream(dir_ + "/" + name, std::ios::binary) << content;
    return dir_ + "/" + name;
  }
  std::string dir_;
};

TEST_F(BootSectors, OnlyTheSignatureAtOffsetThreeCounts) {
  const std::string sector = std::string("\xeb\x52\x90NTFS    ") + std::string(500, '\0');
  EXPECT_TRUE(hasNtfsBootSector(write("ntfs.img", sector)));
  EXPECT_TRUE(hasNtfsBootSector(write("exact.img", sector.substr(0, 11))));
  EXPECT_FALSE(hasNtfsBootSector(write("short.img", sector.substr(0, 10))));
  EXPECT_FALSE(hasNtfsBootSector(write("fat.img", "\xeb\x3c\x90mkfs.fat" + std::string(500, '\0'))));
  EXPECT_FALSE(hasNtfsBootSector(write("atzero.img", "NTFS    " + std::string(500, '\0'))));
  EXPECT_FALSE(hasNtfsBootSector(write("empty.img", "")));
  EXPECT_FALSE(hasNtfsBootSector(dir_));
  EXPECT_FALSE(hasNtfsBootSector(dir_ + "/missing.img"));
  EXPECT_FALSE(hasNtfsBootSector("ntfs.img"));  // relative: names nothing for sure
  EXPECT_FALSE(hasNtfsBootSector(""));
  // A pipe named as the source: not waited on.
  ASSERT_EQ(0, mkfifo((dir_ + "/fifo").c_str(), 0600));
  EXPECT_FALSE(hasNtfsBootSector(dir_ + "/fifo"));

  // The source decides for plain FUSE mounts, unless it lies inside one.
  MountEntry mount;
  mount.source = dir_ + "/ntfs.img";
  EXPECT_TRUE(sourceIsNtfs(mount, parseMountInfo("2 1 0:40 / /mnt/f rw - fuse x rw\n")));
  const std::string around = "2 1 0:40 / " + dir_ + " rw - fuse x rw\n";
  EXPECT_FALSE(sourceIsNtfs(mount, parseMountInfo(around)));
}

// A fake /sys with one removable and one fixed disk, each with a partition.
class FakeSysfs : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/tavrin-sysfs-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(name));
    root_ = name;
    makeDisk("sdb", "8:16", "8:17", "1\n");
    makeDisk("sda", "8:0", "8:1", "0\n");
  }
  void TearDown() override {
    const std::string command = "rm -rf '" + root_ + "'";
    ASSERT_EQ(0, system(command.c_str()));
  }

  void makeDisk(const std::string& disk, const std::string& diskDev, const std::string& partDev,
                const std::string& removable) {
    const std::string devices = root_ + "/devices/pci0/block/" + disk;
    const std::string part = devices + "/" + disk + "1";
    for (const std::string& dir : {root_ + "/dev", root_ + "/dev/block", root_ + "/block",
                                   root_ + "/devices", root_ + "/devices/pci0",
                                   root_ + "/devices/pci0/block", devices, part}) {
      mkdir(dir.c_str(), 0755);
    }
    std::ofstream(devices + "/removable") << removable;
    std::ofstream(part + "/partition") << "1\n";
    ASSERT_EQ(0, symlink(("../../devices/pci0/block/" + disk).c_str(),
                         (root_ + "/dev/block/" + diskDev).c_str()));
    ASSERT_EQ(0, symlink(("../../devices/pci0/block/" + disk + "/" + disk + "1").c_str(),
                         (root_ + "/dev/block/" + partDev).c_str()));
    ASSERT_EQ(0, symlink(("../devices/pci0/block/" + disk).c_str(),
                         (root_ + "/block/" + disk).c_str()));
  }

  static MountEntry volume(unsigned major, unsigned minor, std::string source = "/dev/none") {
    MountEntry entry;
    entry.major = major;
    entry.minor = minor;
    entry.root = "/";
    entry.source = std::move(source);
    return entry;
  }

  std::string root_;
};

TEST_F(FakeSysfs, RemovableWhenTheDiskOfThePartitionIsRemovable) {
  EXPECT_EQ(DRIVE_REMOVABLE, driveTypeOf(volume(8, 17), root_));
  EXPECT_EQ(DRIVE_REMOVABLE, driveTypeOf(volume(8, 16), root_));  // a disk without partitions
  EXPECT_EQ(DRIVE_FIXED, driveTypeOf(volume(8, 1), root_));
  EXPECT_EQ(DRIVE_FIXED, driveTypeOf(volume(8, 0), root_));
}

TEST_F(FakeSysfs, ImagesAndUnknownDevicesAreFixed) {
  EXPECT_EQ(DRIVE_FIXED, driveTypeOf(volume(0, 40, root_ + "/block/sdb/removable"), root_));
  EXPECT_EQ(DRIVE_FIXED, driveTypeOf(volume(0, 40), root_));
  std::remove((root_ + "/devices/pci0/block/sdb/removable").c_str());
  EXPECT_EQ(DRIVE_FIXED, driveTypeOf(volume(8, 17), root_));
}

TEST_F(FakeSysfs, PlatformListsVolumeRootsAndTheirTypes) {
  const std::string mountInfo = root_ + "/mountinfo";
  std::ofstream(mountInfo) << "1 0 254:0 / / rw - ntfs3 /dev/vda rw\n"
                              "2 1 8:1 / /mnt/win\\040c rw - ntfs3 /dev/sda1 rw\n"
                              "3 1 8:17 / /media/u/\\351 rw - ntfs /dev/sdb1 rw\n"
                              "4 1 8:1 / /mnt/twice rw - ntfs3 /dev/sda1 rw\n";
  PosixPlatform platform({mountInfo, root_});
  EXPECT_EQ((std::vector<std::wstring>{L"/", L"/mnt/win c/", L"/media/u/\xDCE9/"}),
            platform.logicalDriveStrings());
  EXPECT_EQ(DRIVE_FIXED, platform.getDriveType(L"/mnt/win c/"));
  EXPECT_EQ(DRIVE_REMOVABLE, platform.getDriveType(L"/media/u/\xDCE9/"));
  EXPECT_EQ(DRIVE_NO_ROOT_DIR, platform.getDriveType(L"/mnt/win c"));
  EXPECT_EQ(DRIVE_NO_ROOT_DIR, platform.getDriveType(L"/mnt/twice/"));
  EXPECT_EQ(DRIVE_NO_ROOT_DIR, platform.getDriveType(L"/elsewhere/"));
}

TEST_F(FakeSysfs, TypeOfARootAskedBeforeTheListIsRead) {
  const std::string mountInfo = root_ + "/mountinfo";
  std::ofstream(mountInfo) << "3 1 8:17 / /media/usb rw - ntfs3 /dev/sdb1 rw\n";
  PosixPlatform platform({mountInfo, root_});
  EXPECT_EQ(DRIVE_REMOVABLE, platform.getDriveType(L"/media/usb/"));
}

TEST(NativeDrives, NoMountTableNoDrives) {
  PosixPlatform platform({"/nonexistent/mountinfo", "/nonexistent"});
  EXPECT_TRUE(platform.logicalDriveStrings().empty());
  EXPECT_EQ(DRIVE_NO_ROOT_DIR, platform.getDriveType(L"/"));
}

}  // namespace
}  // namespace tavrin
