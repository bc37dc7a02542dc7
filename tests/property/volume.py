"""Random volumes for the property tests: a seeded generator of trees with
hostile names and attribute words, the code that makes one on a mounted
ntfs-3g volume, and the same as a shell script for a reproduction."""

import os
import shlex
from dataclasses import dataclass, field

ATTRIBUTE = "system.ntfs_attrib_be"
REPARSE = "system.ntfs_reparse_data"
SUSPECT = 0x3127
SUSPECT_BITS = [0x1, 0x2, 0x4, 0x20, 0x100, 0x1000, 0x2000]
ROOT = "r"  # the tree under test, below the mount point

# Pieces of hostile names: non-ASCII, non-BMP, combining marks, blanks,
# commas, percent signs and backslashes.
HOSTILE = ["é", "ß", "Д", "文", "ǅ", "😀", "𝄞", "e\u0301", "a\u0308\u0323", " ", ",", ", ",
           "%", "%s", "%n", "\\", "\\\\", "'", '"', "$", "*", "?", "\t", "~", "\u00a0",
           "İ", "ﬀ", "\u200b", "Ω"]
ORDINARY = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-"
MARKER_NAMES = ["Norvane", "norvane", "xNorvaney", "NORVANE", "Norvan", "Norvane.txt"]


def units(text):
    """Length in UTF-16 code units, as NTFS counts a name."""
    return len(text.encode("utf-16-le")) // 2


@dataclass
class Node:
    # "dir", "file", "link" (ln -s), "junction", "winlink" or "unknown"
    # (reparse points), "hardlink" (another name of the file `target`) or
    # "deleted" (made and removed again: its record stays on the volume)
    kind: str
    parts: tuple         # names below ROOT
    word: int = None     # requested word; None keeps what the volume gives
    target: tuple = None  # link or junction target (parts below ROOT); None dangles
    children: list = field(default_factory=list, repr=False)
    shape: str = None    # a file's data: None (two bytes), "sparse" or "fragmented"

    def rel(self):
        return os.path.join(ROOT, *self.parts)


def stored(value, before):
    """The word ntfs-3g keeps on a file that held `before` when `value` is
    written: the bits 0x3127, the sparse, reparse-point and compressed bits
    it had (they tell what the file is), else NORMAL."""
    return (value & SUSPECT) | (before & 0xE00) or 0x80


def file_word(rng):
    roll = rng.random()
    if roll < 0.3:
        return SUSPECT
    if roll < 0.55:
        return SUSPECT & ~rng.choice(SUSPECT_BITS)  # a one-bit near miss
    if roll < 0.6:
        return SUSPECT | 0x800  # the volume drops the compressed bit on files
    if roll < 0.8:
        return rng.choice([0x20, 0x80, 0x21, 0x1, 0x26, 0x2020, 0x1120])
    return rng.choice([None, sum(b for b in SUSPECT_BITS if rng.random() < 0.5) or 0x80])


def folder_word(rng):
    # 0x810: a compressed folder, whose new files are compressed
    return rng.choice([None, None, None, SUSPECT | 0x10, SUSPECT, 0x12, 0x31, 0x810])


def make_name(rng, taken, budget):
    """A new name among `taken`, at most `budget` UTF-16 units long."""
    for _ in range(100):
        roll = rng.random()
        if roll < 0.35 or budget < 16:
            name = "".join(rng.choice(ORDINARY) for _ in range(rng.randint(1, min(12, budget))))
        elif roll < 0.5 and taken:
            name = rng.choice(sorted(taken)).swapcase()  # differs only in case
        elif roll < 0.6:
            name = rng.choice(MARKER_NAMES)
        elif roll < 0.7:
            name = ""  # as long as the volume allows
            while True:
                piece = rng.choice(HOSTILE + list(ORDINARY))
                if units(name + piece) > min(255, budget):
                    break
                name += piece
            if rng.random() < 0.5:  # fill to the limit with one-unit pieces
                name += "x" * (min(255, budget) - units(name))
        else:
            name = "".join(rng.choice(HOSTILE + list(ORDINARY[:10])) for _ in range(rng.randint(1, 8)))
        if name and name not in (".", "..") and name not in taken and units(name) <= min(255, budget):
            return name
    return None


def generate(rng):
    """A random tree: a list of nodes, each after its folder."""
    nodes = []
    folders = [()]

    def fill(parts, depth, path_bytes):
        taken = set()
        for _ in range(rng.randint(6, 14) if depth == 0 else rng.randint(0, 9 if depth < 2 else 5)):
            # Paths stay well below PATH_MAX, whatever the names.
            name = make_name(rng, taken, max(1, min(255, (3000 - path_bytes) // 4)))
            if name is None:
                continue
            taken.add(name)
            here = parts + (name,)
            roll = rng.random()
            if roll < 0.25 and depth < 4:
                node = Node("dir", here, folder_word(rng))
                nodes.append(node)
                folders.append(here)
                fill(here, depth + 1, path_bytes + len(name.encode()) + 1)
            elif roll < 0.32:
                target = rng.choice(folders + [n.parts for n in nodes if n.kind == "file"] + [None])
                nodes.append(Node("link", here, file_word(rng) if rng.random() < 0.5 else None, target))
            elif roll < 0.38:
                safe = [f for f in folders if not any("\\" in p for p in f)]
                nodes.append(Node("junction", here, None, rng.choice(safe + [None])))
            elif roll < 0.44:
                # A Windows symbolic link on a file: its word can carry bits
                # beyond 0x3127 (0x3127 reads back as 0x3527).
                safe = [n.parts for n in nodes if n.kind == "file" and not any("\\" in p for p in n.parts)]
                target = rng.choice(safe + [None, rng.choice(folders)]) if safe else None
                nodes.append(Node("winlink", here, file_word(rng), target))
            elif roll < 0.46:
                nodes.append(Node("unknown", here, file_word(rng)))  # a reparse tag nothing knows
            elif roll < 0.51 and any(n.kind == "file" for n in nodes):
                # another name of a file of any folder
                nodes.append(Node("hardlink", here, None, rng.choice([n.parts for n in nodes if n.kind == "file"])))
            elif roll < 0.54:
                nodes.append(Node("deleted", here))
            else:
                shape = rng.choice([None] * 8 + ["sparse", "fragmented"])
                nodes.append(Node("file", here, file_word(rng), shape=shape))

    fill((), 0, 0)
    if rng.random() < 0.2:
        many_names(rng, nodes, folders)
    if rng.random() < 0.15:
        big_folder(rng, nodes, folders)
    # Files under the tool's own folder name, in both cases, every time.
    taken = {n.parts for n in nodes}
    for marker in ["Norvane", "norvane"]:
        folder = (marker,)
        while folder in taken and folder not in folders:
            folder = (folder[0] + "_",)
        if folder not in folders:
            nodes.append(Node("dir", folder, None))
            folders.append(folder)
        if folder + ("in " + marker,) not in taken:
            nodes.append(Node("file", folder + ("in " + marker,), rng.choice([SUSPECT, 0x21, 0x20, 0x3126])))
    return nodes


def many_names(rng, nodes, folders):
    """A file with dozens of long names: they overflow its record into
    extension records (an attribute list)."""
    folder = ("many names",)
    if folder in folders:
        return
    nodes.append(Node("dir", folder))
    folders.append(folder)
    nodes.append(Node("file", folder + ("first",), rng.choice([SUSPECT, 0x20])))
    for i in range(rng.randint(25, 40)):
        name = "%02d " % i + rng.choice(["é", "x", "Д", "😀"]) * rng.randint(60, 120)
        nodes.append(Node("hardlink", folder + (name,), None, folder + ("first",)))


def big_folder(rng, nodes, folders):
    """A folder of thousands of names that sort differently by case, accents
    and code units: its index needs many blocks."""
    folder = ("big folder",)
    if folder in folders:
        return
    nodes.append(Node("dir", folder))
    folders.append(folder)
    taken = set()
    for i in range(rng.randint(1200, 2500)):
        name = rng.choice(["a", "A", "é", "E", "z", "Z", "_", "😀", "ﬀ", "İ"]) + "%d" % rng.randint(0, 99999)
        if name in taken:
            continue
        taken.add(name)
        word = SUSPECT if rng.random() < 0.01 else None
        nodes.append(Node("file", folder + (name,), word))


def reparse_blob(target):
    """The reparse data of a junction to \\??\\C:\\r\\<target> (or a missing folder)."""
    print_name = "C:\\" + "\\".join((ROOT,) + target) if target is not None else "C:\\nowhere\\gone"
    substitute = ("\\??\\" + print_name).encode("utf-16-le")
    shown = print_name.encode("utf-16-le")
    body = (len(substitute) + 2).to_bytes(2, "little")  # print name starts after a NUL
    head = (0).to_bytes(2, "little") + len(substitute).to_bytes(2, "little")
    tail = body + len(shown).to_bytes(2, "little")
    buffer = substitute + b"\0\0" + shown + b"\0\0"
    data = head + tail + buffer
    return (0xA0000003).to_bytes(4, "little") + len(data).to_bytes(2, "little") + b"\0\0" + data


def symlink_blob(text):
    """The reparse data of a relative Windows symbolic link to `text`."""
    name = text.encode("utf-16-le")
    data = (0).to_bytes(2, "little") + len(name).to_bytes(2, "little") + len(name).to_bytes(2, "little") \
        + len(name).to_bytes(2, "little") + (1).to_bytes(4, "little") + name + name
    return (0xA000000C).to_bytes(4, "little") + len(data).to_bytes(2, "little") + b"\0\0" + data


UNKNOWN_BLOB = (0x80000013).to_bytes(4, "little") + (4).to_bytes(2, "little") + b"\0\0abcd"


def reparse_data(node):
    if node.kind == "junction":
        return reparse_blob(node.target)
    if node.kind == "winlink":
        return symlink_blob(link_text(node).replace("/", "\\"))
    return UNKNOWN_BLOB


def link_text(node):
    if node.target is None:
        return "missing target"
    return os.path.relpath(os.path.join(*((ROOT,) + node.target)) if node.target else ROOT,
                           os.path.dirname(node.rel()))


def build(nodes, mnt):
    """Makes the tree on the volume mounted at `mnt` (remount afterwards)."""
    os.makedirs(os.path.join(mnt, ".NTFS-3G"), exist_ok=True)
    if not os.path.islink(os.path.join(mnt, ".NTFS-3G", "C:")):
        os.symlink(mnt, os.path.join(mnt, ".NTFS-3G", "C:"))  # junctions lead back here
    os.mkdir(os.path.join(mnt, ROOT))
    for node in nodes:
        path = os.path.join(mnt, node.rel())
        if node.kind == "dir":
            os.mkdir(path)
        elif node.kind == "file":
            # ntfs-3g shows a system file of 0 or 1 bytes as a FIFO or a
            # socket (Interix special files); a set word with the system bit
            # would change the file's type under the walk.
            with open(path, "wb") as f:
                f.write(b"xx")
                if node.shape == "sparse":
                    f.truncate(1 << 20)
                    f.seek(0, 2)
                    f.write(b"end")
                elif node.shape == "fragmented":
                    # every other cluster written: hundreds of runs, more
                    # than the record holds (an attribute list)
                    for i in range(1, 400):
                        f.seek(i * 8192)
                        f.write(b"y" * 4096)
        elif node.kind == "hardlink":
            target = os.path.join(mnt, ROOT, *node.target)
            if os.path.lexists(target):  # a shrunk tree may have lost it
                os.link(target, path)
        elif node.kind == "deleted":
            with open(path, "wb") as f:
                f.write(b"gone")
            os.remove(path)
        elif node.kind == "link":
            os.symlink(link_text(node), path)
        elif node.kind == "junction":
            os.mkdir(path)
            os.setxattr(path, REPARSE, reparse_data(node), follow_symlinks=False)
        else:
            open(path, "wb").close()
            os.setxattr(path, REPARSE, reparse_data(node), follow_symlinks=False)
        if node.word is not None:
            os.setxattr(path, ATTRIBUTE, node.word.to_bytes(4, "big"), follow_symlinks=False)


def script(nodes, commands, mnt):
    """A shell script that makes the volume and runs `commands` (argument lists)."""
    q = shlex.quote
    lines = ["#!/bin/bash", "# as root; TAVRIN=path/to/tavrin", "set -e",
             "truncate -s 64M vol.img && mkntfs -F -Q -L T vol.img >/dev/null",
             "mkdir -p mnt && ntfs-3g vol.img mnt && M=$PWD/mnt",
             'mkdir -p "$M/.NTFS-3G" && ln -s "$M" "$M/.NTFS-3G/C:" && mkdir "$M/r"']
    for node in nodes:
        p = '"$M"/' + q(node.rel())
        if node.kind == "dir":
            lines.append(f"mkdir {p}")
        elif node.kind == "file":
            lines.append(f"printf xx > {p}")
            if node.shape == "sparse":
                lines.append(f"truncate -s 1M {p} && printf end >> {p}")
            elif node.shape == "fragmented":
                lines.append(f"for i in $(seq 1 399); do head -c 4096 /dev/zero | "
                             f"dd of={p} bs=8192 seek=$i conv=notrunc 2>/dev/null; done")
        elif node.kind == "hardlink":
            lines.append(f'ln "$M"/{q(os.path.join(ROOT, *node.target))} {p}')
        elif node.kind == "deleted":
            lines.append(f"printf gone > {p} && rm {p}")
        elif node.kind == "link":
            lines.append(f"ln -s {q(link_text(node))} {p}")
        else:
            make = "mkdir" if node.kind == "junction" else "touch"
            lines.append(f"{make} {p} && setfattr -h -n {REPARSE} -v 0x{reparse_data(node).hex()} {p}")
        if node.word is not None:
            lines.append(f"setfattr -h -n {ATTRIBUTE} -v 0x{node.word:08x} {p}")
    lines += ["fusermount -u mnt && ntfs-3g vol.img mnt  # the FUSE cache keeps junctions as folders",
              "mkdir -p /var/lib/Norvane/Wickline"]
    def argument(a):  # paths on the volume relative to $M
        return '"$M"' + q(a[len(mnt):]) if a.startswith(mnt + "/") else q(a)
    for args in commands:
        lines.append('"$TAVRIN" ' + " ".join(argument(a) for a in args) + "; echo")
    lines.append("ls -l /var/lib/Norvane/Wickline")
    return "\n".join(lines)
