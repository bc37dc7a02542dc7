#!/bin/busybox sh
# /init of the ntfs3 suite's VM: mounts the test volumes with ntfs3 (a virtio
# disk, an image through a loop device, a removable SCSI disk), runs the cases
# and writes their output as a tar archive to the second virtio disk.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mkdir -p /dev/pts && mount -t devpts devpts /dev/pts  # the terminal the summary needs
for m in scsi_common scsi_mod sd_mod virtio_scsi virtio_blk loop ntfs3; do
  insmod /modules/$m.ko || echo "tavrin-vm: insmod $m failed"
done
i=0
while [ ! -b /dev/sda ] || [ ! -b /dev/vdb ]; do
  i=$((i + 1))
  [ $i -gt 100 ] && break
  sleep 0.1
done
mkdir -p /mnt/tavrin/win /mnt/tavrin/d /mnt/tavrin/usb /var/lib/Norvane/Wickline /out /tmp
mount -t ntfs3 /dev/vda /mnt/tavrin/win || echo "tavrin-vm: mount vda failed"
mount -t ntfs3 -o loop /d.img /mnt/tavrin/d || echo "tavrin-vm: mount loop failed"
mount -t ntfs3 /dev/sda /mnt/tavrin/usb || echo "tavrin-vm: mount sda failed"
cat /sys/block/sda/removable >/out/removable
sh /cases.sh /bin/tavrin /out /bin/ntfs3_word /bin/tavrin_walk_only /bin/on_terminal >/out/log 2>&1
umount /mnt/tavrin/usb /mnt/tavrin/d /mnt/tavrin/win
tar -cf /dev/vdb -C /out . && echo "tavrin-vm: done"
sync
poweroff -f
