#!/usr/bin/env python3
"""The Linux tavrin on the kernel's ntfs3 driver, against ntfs-3g.

Boots Debian's 6.12 kernel (which has ntfs3) under qemu's software emulation
with the program in an initramfs, mounts test volumes with `mount -t ntfs3`
(a virtio disk, an image through a loop device, a removable SCSI disk) and
runs cases.sh there. The same sequence then runs on the host through ntfs-3g
on copies of the same images, mounted at the same paths in a private mount
namespace, and the two must give byte-identical records and console output.
On each driver the program must read the volumes' file tables (its summary
says so at a terminal), and the build that always walks must give the same
bytes for every step that changes nothing. Last, on each driver, listall runs
10 times while files move between folders: every file that stays put must be
listed exactly once.

Set TAVRIN_NTFS3_KEEP=1 to keep the work folder (images, VM console, outputs).
The kernel package is fetched with `apt-get download` (never installed) into
TAVRIN_KERNEL_CACHE (default /var/cache/tavrin-tests) when it is missing.

Usage: run_ntfs3_tests.py TAVRIN NTFS3_WORD TAVRIN_WALK_ONLY ON_TERMINAL
Exit codes: 0 passed, 1 failed, 77 skipped (the reason is printed).
"""

import glob
import lzma
import os
import re
import shutil
import signal
import subprocess
import sys
import tarfile
import tempfile
import time

SKIP = 77
HERE = os.path.dirname(os.path.abspath(__file__))
CACHE = os.environ.get("TAVRIN_KERNEL_CACHE", "/var/cache/tavrin-tests")
sys.dont_write_bytecode = True  # importing the NTFS suite leaves nothing in the source tree
sys.path.insert(0, os.path.join(HERE, "..", "ntfs"))
from run_ntfs_tests import private_mounts  # noqa: E402
META_PACKAGE = "linux-image-6.12-amd64"
# Loaded in this order by the VM's /init; none needs more than these.
MODULES = {"scsi_common": "drivers/scsi", "scsi_mod": "drivers/scsi", "sd_mod": "drivers/scsi",
           "virtio_scsi": "drivers/scsi", "virtio_blk": "drivers/block", "loop": "drivers/block",
           "ntfs3": "fs/ntfs3"}
CHURN_FOLDERS, CHURN_STAYING, CHURN_MOVING = 8, 150, 200
ATTRIBUTE = "system.ntfs_attrib_be"
REPARSE = "system.ntfs_reparse_data"
BASE = "/mnt/tavrin"
V = BASE + "/win"
VM_TIMEOUT = 180


def skip(reason):
    print(f"SKIP: {reason}")
    sys.exit(SKIP)


def junction(target):
    """The reparse data of a junction to `target` (e.g. C:\\tgt), as NTFS stores it."""
    substitute = ("\\??\\" + target).encode("utf-16-le")
    printed = target.encode("utf-16-le")
    buffer = substitute + b"\0\0" + printed + b"\0\0"
    header = b"".join(n.to_bytes(2, "little") for n in
                      (0, len(substitute), len(substitute) + 2, len(printed)))
    data = header + buffer
    return (0xA0000003).to_bytes(4, "little") + len(data).to_bytes(2, "little") + b"\0\0" + data


def set_word(path, value):
    os.setxattr(path, ATTRIBUTE, value.to_bytes(4, "big"), follow_symlinks=False)


def windows_word(raw):
    """A stored word as Windows reports it; reparse points here are all junctions."""
    word = raw
    if word & 0x10000000:
        word = (word & ~0x10000000) | 0x10
    if word == 0:
        word = 0x80
    if word & 0x400:
        word |= 0x10
    return word


def run(command, **kwargs):
    return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, **kwargs)


# --- the kernel ----------------------------------------------------------------
def kernel_package():
    result = run(["apt-cache", "depends", META_PACKAGE])
    found = re.search(rb"Depends: (linux-image-6\.12\.\S+-amd64)\b", result.stdout)
    if result.returncode != 0 or not found:
        skip(f"apt knows no {META_PACKAGE} (Debian 12 has it in bookworm-security or bookworm-backports, "
             "not the main archive: add one to the apt sources, then apt-get update)")
    return found.group(1).decode()


def fetch_kernel():
    """vmlinuz and the modules, unpacked once into the cache."""
    package = kernel_package()
    unpacked = os.path.join(CACHE, package)
    if os.path.exists(os.path.join(unpacked, "complete")):
        return unpacked
    os.makedirs(CACHE, exist_ok=True)
    debs = glob.glob(os.path.join(CACHE, f"{package}_*.deb"))
    if not debs:
        got = run(["apt-get", "download", package], cwd=CACHE)
        debs = glob.glob(os.path.join(CACHE, f"{package}_*.deb"))
        if got.returncode != 0 or not debs:
            last = got.stdout.decode(errors="replace").strip().splitlines()[-1:]
            skip(f"apt-get download {package} failed: {last}")
    staging = tempfile.mkdtemp(prefix=".unpack-", dir=CACHE)
    try:
        # Only what the VM needs: unpacking the whole package takes far longer.
        wanted = ["./boot/vmlinuz-*"] + [f"./lib/modules/*/kernel/{d}/{m}.ko.xz"
                                        for m, d in MODULES.items()]
        script = 'dpkg-deb --fsys-tarfile "$1" | tar -x -C "$2" --wildcards "${@:3}"'
        got = run(["bash", "-c", script, "sh", debs[0], staging, *wanted])
        if got.returncode != 0:
            raise RuntimeError(f"unpacking {debs[0]}: {got.stdout.decode(errors='replace')}")
        os.makedirs(os.path.join(staging, "modules"))
        for module in MODULES:
            (source,) = glob.glob(os.path.join(staging, f"lib/modules/*/kernel/*/**/{module}.ko.xz"),
                                  recursive=True)
            with lzma.open(source) as f, open(os.path.join(staging, "modules", module + ".ko"), "wb") as o:
                o.write(f.read())
        (vmlinuz,) = glob.glob(os.path.join(staging, "boot/vmlinuz-*"))
        os.rename(vmlinuz, os.path.join(staging, "vmlinuz"))
        shutil.rmtree(os.path.join(staging, "boot"))
        shutil.rmtree(os.path.join(staging, "lib"))
        open(os.path.join(staging, "complete"), "w").close()
        if os.path.exists(unpacked):
            shutil.rmtree(unpacked, ignore_errors=True)
        try:
            os.rename(staging, unpacked)
        except OSError:
            if not os.path.exists(os.path.join(unpacked, "complete")):
                raise  # else another run unpacked it meanwhile
    finally:
        if os.path.exists(staging):
            shutil.rmtree(staging)
    return unpacked


# --- the volumes -----------------------------------------------------------------
class Volume:
    """An NTFS image filled through ntfs-3g on the host."""

    def __init__(self, work, name, size_mb):
        self.image = os.path.join(work, name + ".img")
        self.mnt = os.path.join(work, "make-" + name)
        os.mkdir(self.mnt)
        with open(self.image, "wb") as f:
            f.truncate(size_mb << 20)
        made = run(["mkntfs", "-F", "-Q", "-L", name, self.image])
        if made.returncode != 0:
            raise RuntimeError(f"mkntfs: {made.stdout.decode(errors='replace')}")

    def __enter__(self):
        got = run(["ntfs-3g", self.image, self.mnt])
        if got.returncode != 0:
            skip(f"ntfs-3g mount refused: {got.stdout.decode(errors='replace').strip()[:100]}")
        return self

    def __exit__(self, *_):
        if run(["fusermount", "-u", self.mnt]).returncode != 0:
            run(["umount", "-l", self.mnt])

    def file(self, name, word=None):
        path = os.path.join(self.mnt, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(b"x")
        if word is not None:
            set_word(path, word)

    def folder(self, name, word=None):
        os.makedirs(os.path.join(self.mnt, name), exist_ok=True)
        if word is not None:
            set_word(os.path.join(self.mnt, name), word)

    def junction(self, name, target):
        self.folder(name)
        os.setxattr(os.path.join(self.mnt, name), REPARSE, junction(target), follow_symlinks=False)

    def link(self, name, target, word=None):
        os.symlink(target, os.path.join(self.mnt, name))
        if word is not None:
            set_word(os.path.join(self.mnt, name), word)


def make_volumes(work):
    with Volume(work, "win", 16) as v:
        for name, word in [("bad.exe", 0x3127), ("good.txt", 0x20), ("near.dll", 0x3126),
                           ("sub/deep.sys", 0x3127), ("dirbad/plain.txt", 0x20),
                           ("Norvane/x.txt", 0x21), ("tgt/t.exe", 0x3127), ("zero.txt", 0)]:
            v.file(name, word)
        v.folder("dirbad", 0x3127)
        v.junction("junc", "C:\\tgt")            # inside the tree
        v.junction("Norvane/away", "D:\\data")   # to another drive
        v.link("slink", "bad.exe", 0x3127)       # ntfs-3g's own links: files to Windows
        v.link("dlink", "sub")
        # ntfs-3g shows junctions to C:\... as links into .NTFS-3G/C:, which
        # leads back to the volume where the VM mounts it too.
        v.folder(".NTFS-3G")
        v.link(".NTFS-3G/C:", V)
    with Volume(work, "d", 8) as v:
        v.file("d.exe", 0x3127)
        v.folder("data")
        # Index blocks: the order in which each driver lists them.
        for i in range(600):
            v.file(f"many/{'aÄé😀Zz_'[i % 7]}{i * 7919 % 1000:03d}")
        # Folders whose files move while listall runs (last in cases.sh).
        for i in range(CHURN_FOLDERS):
            for n in range(CHURN_STAYING):
                v.file(f"churn/c{i}/s{i}_{n:03d}")
        for n in range(CHURN_MOVING):
            v.file(f"churn/c0/m{n:03d}")
    with Volume(work, "usb", 4) as v:
        v.file("u.exe", 0x3127)


# --- the VM --------------------------------------------------------------------
def newc(entries):
    """A cpio archive (newc) of (name, mode, data or None, rdev) entries."""
    out = bytearray()
    inodes = iter(range(1, len(entries) + 2))

    def add(name, mode, data, rdev=(0, 0)):
        name_bytes = name.encode() + b"\0"
        fields = [next(inodes), mode, 0, 0, 1, 0, len(data), 0, 0, rdev[0], rdev[1], len(name_bytes), 0]
        out.extend(b"070701" + b"".join(b"%08x" % f for f in fields) + name_bytes)
        out.extend(b"\0" * (-len(out) % 4))
        out.extend(data)
        out.extend(b"\0" * (-len(out) % 4))

    for name, mode, data, rdev in entries:
        add(name, mode, data or b"", rdev)
    add("TRAILER!!!", 0, b"")
    return bytes(out)


def libraries(programs):
    paths = set()
    for program in programs:
        listed = run(["ldd", program]).stdout.decode()
        paths.update(re.findall(r"(/\S+) \(0x", listed))
    return sorted(paths)


def make_initramfs(work, kernel, tavrin, word_helper, walk_only, on_terminal):
    def read(path):
        with open(path, "rb") as f:
            return f.read()

    files = {"/init": read(os.path.join(HERE, "init.sh")),
             "/cases.sh": read(os.path.join(HERE, "cases.sh")),
             "/bin/busybox": read("/bin/busybox"), "/bin/tavrin": read(tavrin),
             "/bin/ntfs3_word": read(word_helper), "/d.img": read(os.path.join(work, "d.img")),
             "/bin/tavrin_walk_only": read(walk_only), "/bin/on_terminal": read(on_terminal)}
    for library in libraries([tavrin, word_helper, walk_only, on_terminal]):
        files[library] = read(library)
    for module in MODULES:
        files[f"/modules/{module}.ko"] = read(os.path.join(kernel, "modules", module + ".ko"))
    folders = {"/dev", "/proc", "/sys", "/mnt", "/var", "/var/lib", "/tmp", "/out"}
    for name in files:
        parent = os.path.dirname(name)
        while parent != "/":
            folders.add(parent)
            parent = os.path.dirname(parent)
    entries = [(d[1:], 0o40755, None, (0, 0)) for d in sorted(folders)]
    entries.append(("dev/console", 0o20600, None, (5, 1)))
    entries += [(n[1:], 0o100755, data, (0, 0)) for n, data in sorted(files.items())]
    path = os.path.join(work, "initramfs.cpio")
    with open(path, "wb") as f:
        f.write(newc(entries))
    return path


def run_vm(work, kernel, initramfs):
    """Boots the VM; returns the output folder, or None with the console shown."""
    vm_win = os.path.join(work, "vm-win.img")
    shutil.copyfile(os.path.join(work, "win.img"), vm_win)
    out_image = os.path.join(work, "out.img")
    with open(out_image, "wb") as f:
        f.truncate(16 << 20)
    console = os.path.join(work, "console.log")
    command = ["qemu-system-x86_64", "-accel", "tcg", "-m", "512", "-smp", "1", "-nodefaults",
               "-display", "none", "-no-reboot", "-monitor", "none", "-serial", f"file:{console}",
               "-kernel", os.path.join(kernel, "vmlinuz"), "-initrd", initramfs,
               "-append", "console=ttyS0 quiet panic=-1",
               "-drive", f"file={vm_win},format=raw,if=virtio",
               "-drive", f"file={out_image},format=raw,if=virtio",
               "-device", "virtio-scsi-pci,id=scsi",
               "-drive", f"file={os.path.join(work, 'usb.img')},format=raw,if=none,id=usb",
               "-device", "scsi-hd,drive=usb,removable=on"]
    start = time.monotonic()
    try:
        qemu = run(command, timeout=VM_TIMEOUT)
    except subprocess.TimeoutExpired:
        qemu = None
    print(f"VM ran {time.monotonic() - start:.1f} s")
    shown = open(console, errors="replace").read() if os.path.exists(console) else ""
    if qemu is None or qemu.returncode != 0 or "tavrin-vm: done" not in shown:
        print(f"FAIL the VM did not finish (qemu {'timed out' if qemu is None else qemu.returncode})")
        if qemu is not None:
            print(qemu.stdout.decode(errors="replace")[-2000:])
        print(shown[-3000:])
        return None
    out = os.path.join(work, "vm-out")
    with tarfile.open(out_image) as archive:
        if hasattr(tarfile, "data_filter"):
            archive.extractall(out, filter="data")
        else:
            archive.extractall(out)
    return out


# --- the host --------------------------------------------------------------------
HOST_SCRIPT = r"""
trap 'fusermount -u /mnt/tavrin/win; fusermount -u /mnt/tavrin/d' EXIT
win=$1 d=$2 varlib=$3 cases=$4 tavrin=$5 out=$6 helper=$7 walk_only=$8 on_terminal=$9
# Other NTFS volumes of this machine stay out of the no-path runs; mounts made
# on the host from now on do not reach this namespace.
awk '{ for (i = 7; i <= NF; i++) if ($i == "-") { t = $(i + 1); break } }
     $5 != "/" && (t == "fuse" || t == "fuseblk" || t == "fuse.ntfs-3g" || t == "ntfs3" ||
                   t == "ntfs") { print $5 }' /proc/self/mountinfo |
  while IFS= read -r m; do umount -l "$(printf '%b' "$m")" 2>/dev/null; done
mount -t tmpfs tavrin-ntfs3 /mnt || exit 90
mkdir -p /mnt/tavrin/win /mnt/tavrin/d
ntfs-3g "$win" /mnt/tavrin/win || exit 91
ntfs-3g "$d" /mnt/tavrin/d || exit 92
mount --bind "$varlib" /var/lib || exit 93
mkdir -p /var/lib/Norvane/Wickline
/bin/busybox sh "$cases" "$tavrin" "$out" "$helper" "$walk_only" "$on_terminal" >"$out/log" 2>&1
"""


def run_host(work, tavrin, word_helper, walk_only, on_terminal):
    out = os.path.join(work, "host-out")
    varlib = os.path.join(work, "varlib")
    os.mkdir(out)
    os.mkdir(varlib)
    command = ["unshare", "-m", "--propagation", "private", "bash", "-c", HOST_SCRIPT, "host",
               os.path.join(work, "win.img"), os.path.join(work, "d.img"), varlib,
               os.path.join(HERE, "cases.sh"), tavrin, out, word_helper, walk_only, on_terminal]
    start = time.monotonic()
    got = run(command, timeout=VM_TIMEOUT)
    print(f"host ran {time.monotonic() - start:.1f} s")
    if got.returncode != 0:
        print(f"FAIL the host sequence ({got.returncode}): {got.stdout.decode(errors='replace')}")
        return None
    return out


# --- the checks -------------------------------------------------------------------
class Checks:
    def __init__(self, vm, host):
        self.vm, self.host = vm, host
        self.failures = 0

    def expect(self, condition, message):
        if not condition:
            self.failures += 1
            print(f"FAIL {message}")

    def equal(self, expected, actual, what):
        self.expect(expected == actual, f"{what}\n  expected: {expected!r}\n  actual:   {actual!r}")

    def read(self, side, name):
        path = os.path.join(side, name)
        if not os.path.exists(path):
            return None
        with open(path, "rb") as f:
            return f.read()

    def steps(self, side):
        return sorted({n[:2] for n in os.listdir(side) if re.match(r"\d\d-", n)})

    def outputs(self, side, step):
        return {n[3:]: self.read(side, n) for n in os.listdir(side) if n.startswith(step + "-")}

    def words(self, side, step):
        text = (self.read(side, f"{step}-words") or b"").decode()
        return {path: int(w, 16) if w != "error" else None
                for w, path in (line.split(" ", 1) for line in text.splitlines())}

    def same_on_both(self):
        """Every step of the host gives the same bytes in the VM."""
        host_steps = self.steps(self.host)
        self.expect(len(host_steps) >= 18, f"the host ran {len(host_steps)} steps")
        for step in host_steps:
            host, vm = self.outputs(self.host, step), self.outputs(self.vm, step)
            if "words" in host:
                host_words, vm_words = self.words(self.host, step), self.words(self.vm, step)
                self.equal({p: windows_word(w) for p, w in host_words.items() if w is not None},
                           {p: windows_word(w) for p, w in vm_words.items() if w is not None},
                           f"step {step}: words as Windows reports them, ntfs-3g then ntfs3")
                self.equal(len(host_words), len(vm_words), f"step {step}: words read")
                continue
            command = host.get("command", b"").decode().strip()
            self.equal(b"0\n", host.get("status"), f"host exit code of {command}")
            self.equal(b"", host.get("stderr"), f"host stderr of {command}")
            # A repair of a root under the marker says first, on the terminal, what it will do.
            marked = re.fullmatch(r"repair (\S*Norvane\S*)", command)
            if marked:
                shown = self.read(os.path.join(self.host, "terminal"), step) or b""
                self.expect(shown.startswith(
                    b"tavrin: every file under %s will be reset to archive only (32): a repair resets every "
                    b"file whose path contains \"Norvane\" (the name of the folder that holds tavrin's own "
                    b"result files), whatever its attributes\r\n" % marked.group(1).encode()),
                    f"step {step}: the warning before {command}: {shown[:300]!r}")
            self.equal(host, vm, f"step {step} `tavrin {command}`: ntfs-3g then ntfs3")

    def table_and_walk(self, side, name):
        """Each step read every volume root from its file table, and the walk
        gives the same bytes where nothing changes."""
        walked = 0
        for step in self.steps(side):
            shown = self.read(os.path.join(side, "terminal"), step) or b""
            self.expect(b"Walked without the file table" not in shown,
                        f"{name} step {step}: a root was walked: {shown!r}")
            walk = self.outputs(os.path.join(side, "walk"), step)
            if walk:
                walked += 1
                reader = {k: v for k, v in self.outputs(side, step).items() if k != "command"}
                self.equal(walk, reader, f"{name} step {step}: the walk, then the file table")
        self.expect(walked >= 8, f"{name}: {walked} steps compared with the walk")
        shown = self.read(os.path.join(side, "terminal"), "04") or b""
        self.expect(b"Read from the file table: /mnt/tavrin/win" in shown,
                    f"{name}: list of the volume read its file table: {shown!r}")

    def churn(self, side, name):
        """Each listall run while files moved between d's folders listed
        every file that stayed put exactly once."""
        folder = os.path.join(side, "churn")
        runs = sorted(n for n in os.listdir(folder) if n.endswith("-allFiles.txt")) if os.path.isdir(folder) else []
        self.expect(len(runs) > 0, f"{name}: no listall ran while files moved")
        staying = [b"/mnt/tavrin/d/churn/c%d/s%d_%03d" % (i, i, n)
                   for i in range(CHURN_FOLDERS) for n in range(CHURN_STAYING)]
        for run in runs:
            records = self.read(folder, run).split(b"\n")[1:]
            counts = {}
            for record in records:
                path = record.split(b", ", 1)[-1]
                counts[path] = counts.get(path, 0) + 1
            wrong = [p for p in staying if counts.get(p) != 1]
            self.expect(not wrong, f"{name} churn run {run}: {len(wrong)} files that stayed put not listed "
                                   f"once: {wrong[:3]}; {self.read(folder, run.replace('allFiles.txt', 'stderr'))!r}")
        print(f"{name}: {len(runs)} runs while files moved, "
              f"{(self.read(folder, 'rounds') or b'?').strip().decode()} rounds of moves")

    def result(self, step, suffix):
        return self.read(self.vm, f"{step}-result-{suffix}")

    def expected_results(self):
        def records(*pairs):
            return b"".join(b"\n%d, %s/%s" % (w, V.encode(), p.encode()) for w, p in pairs)

        everything = [(36, ".NTFS-3G/C:"), (12583, "bad.exe"), (32, "dirbad/plain.txt"),
                      (36, "dlink"), (32, "good.txt"), (12582, "near.dll"),
                      (33, "Norvane/x.txt"), (12583, "slink"), (12583, "sub/deep.sys"),
                      (12583, "tgt/t.exe"), (128, "zero.txt")]
        suspects = records(*[(w, p) for w, p in everything if w == 12583])
        d_bad = b"\n12583, /mnt/tavrin/d/d.exe"
        self.equal(suspects + d_bad, self.result("02", "badFiles.txt"),
                   "list without a path: both fixed volumes, not the removable one")
        self.equal(suspects, self.result("04", "badFiles.txt"), "list of the volume")
        self.equal(suspects, self.result("05", "badFiles.txt"), "list of the volume with a /")
        self.equal(records(*everything), self.result("06", "allFiles.txt"),
                   "listall of the volume: files only, never the folder itself or a junction")
        self.equal(records((12582, "near.dll"), (12583, "sub/deep.sys")),
                   self.result("07", "allFiles.txt"), "listall of a file and a folder")
        self.equal(records((12583, "junc/t.exe")), self.result("08", "allFiles.txt"),
                   "listall of a junction named as a path")
        self.equal(records((12583, "slink"), (36, "dlink"), (128, "zero.txt")),
                   self.result("09", "allFiles.txt"), "listall of link files and a stored 0")
        warning = b"\nSETTINGS ATTRIBUTES SETTING FOLDERS AS PARAMS IS DANGEROUS !!!!"
        self.equal(b"".join(warning + b"\n Attributes 12583 successfully set to " + V.encode() + p
                            for p in [b"/sub/deep.sys", b"/good.txt"]),
                   self.read(self.vm, "10-console"), "console of set on a folder and a file")
        self.equal(b"", self.result("10", ""), "the set command's result file")

    def words_kept(self):
        first, after_set = self.words(self.vm, "01"), self.words(self.vm, "11")
        self.equal(0, first.get(f"{V}/zero.txt"), "ntfs3 reads the stored 0 as 0")
        self.equal(0x420, first.get(f"{V}/junc"), "ntfs3 reads a junction as 0x420")
        self.equal(first.get(f"{V}/sub"), after_set.get(f"{V}/sub"), "set left the folder alone")
        self.equal(0x3127, after_set.get(f"{V}/good.txt"), "set wrote the file")
        final = self.words(self.vm, "16")
        for junction in ["junc", "Norvane/away"]:
            for step in ["11", "14", "16"]:
                self.equal(first.get(f"{V}/{junction}"), self.words(self.vm, step).get(f"{V}/{junction}"),
                           f"ntfs3 word of the junction {junction} after step {step}")
        self.equal(0x20, self.words(self.vm, "14").get(f"{V}/Norvane/x.txt"),
                   "repair of Norvane reset its file to archive")
        for name in ["bad.exe", "slink", "sub/deep.sys", "good.txt", "tgt/t.exe"]:
            self.equal(0x80, final.get(f"{V}/{name}"), f"{name} after the repair")
        self.equal(0x80, final.get("/mnt/tavrin/d/d.exe"), "d.exe after the repair")
        self.equal(b"", self.result("17", "badFiles.txt"), "list after the repair")
        self.equal(b"1\n", self.read(self.vm, "removable"), "the SCSI disk is removable")
        self.equal(b"\n12583, /mnt/tavrin/usb/u.exe", self.result("19", "badFiles.txt"),
                   "list of the removable disk named as a path")
        self.equal(0x3127, self.words(self.vm, "20").get("/mnt/tavrin/usb/u.exe"),
                   "repair without a path left the removable disk alone")


def preconditions(tavrin, helper):
    if os.geteuid() != 0:
        skip("needs root to mount NTFS and to use a private mount namespace")
    for tool in ["qemu-system-x86_64", "mkntfs", "ntfs-3g", "fusermount", "unshare",
                 "apt-get", "apt-cache", "dpkg-deb", "ldd"]:
        if shutil.which(tool) is None:
            skip(f"{tool} not found (packages qemu-system-x86, ntfs-3g, util-linux)")
    # ldd refuses a static program: the VM has only what the initramfs holds.
    if not os.path.exists("/bin/busybox") or run(["ldd", "/bin/busybox"]).returncode == 0:
        skip("no static /bin/busybox (package busybox-static)")
    try:
        os.close(os.open("/dev/fuse", os.O_RDWR))
    except OSError as error:
        skip(f"/dev/fuse cannot be opened: {error.strerror}")
    private_mounts()  # the host's half runs in a namespace of its own
    for program in [tavrin, helper]:
        if not os.access(program, os.X_OK):
            print(f"FAIL {program} is missing")
            sys.exit(1)


def main():
    if len(sys.argv) != 5:
        print(__doc__)
        return 2
    tavrin, helper, walk_only, on_terminal = (os.path.abspath(a) for a in sys.argv[1:])
    preconditions(tavrin, helper)
    preconditions(walk_only, on_terminal)

    def stop(signum, _frame):
        raise SystemExit(f"stopped by signal {signum}")
    for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(signum, stop)

    work = tempfile.mkdtemp(prefix="tavrin-ntfs3-")
    try:
        start = time.monotonic()
        kernel = fetch_kernel()
        print(f"kernel ready {time.monotonic() - start:.1f} s")
        make_volumes(work)
        initramfs = make_initramfs(work, kernel, tavrin, helper, walk_only, on_terminal)
        vm = run_vm(work, kernel, initramfs)
        host = run_host(work, tavrin, helper, walk_only, on_terminal)
        if vm is None or host is None:
            return 1
        checks = Checks(vm, host)
        checks.same_on_both()
        checks.table_and_walk(vm, "ntfs3")
        checks.table_and_walk(host, "ntfs-3g")
        checks.expected_results()
        checks.words_kept()
        checks.churn(vm, "ntfs3")
        checks.churn(host, "ntfs-3g")
        if checks.failures:
            print(f"{checks.failures} check(s) failed; work folder kept: {work}")
            work = None
            return 1
        print("all checks passed")
        if os.environ.get("TAVRIN_NTFS3_KEEP"):
            print(f"work folder kept: {work}")
            work = None
        return 0
    finally:
        if work:
            for mnt in glob.glob(os.path.join(work, "make-*")):
                if os.path.ismount(mnt):
                    run(["umount", "-l", mnt])
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
