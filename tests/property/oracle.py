"""What tavrin must do on a volume, written from the rules as the README and
the usage text state them; it reads the volume, never the program's code.

- A command covers each path argument: a folder's whole tree, or the file it
  names; an empty argument covers nothing.
- The walk is depth first in the order the folder listing returns entries,
  and handles a subfolder's whole tree where it meets it.
- Folders are walked, never listed or changed. An entry is a reparse point
  only when its NTFS word has 0x400; a folder reparse point (0x400 with 0x10,
  or a link whose target is a folder or does not resolve) is neither entered
  nor handed to the rule. Every other entry is a file with its own word (an
  ntfs-3g `ln -s` link included); a stored 0 reads as NORMAL (0x80).
- list: files whose word is exactly 0x3127; listall: every file; repair:
  files whose path contains "Norvane" become 0x20, other files of exactly
  0x3127 become 0x80, and a failed change is recorded with the word read
  before it; set: every file gets the value.
- A record is a line feed, the word as a signed decimal, ", " and the path.
"""

import os
import stat

ATTRIBUTE = "system.ntfs_attrib_be"
SUSPECT = 0x3127
ARCHIVE, NORMAL = 0x20, 0x80
DIRECTORY, REPARSE_POINT = 0x10, 0x400
MARKER = b"Norvane"
WARNING = b"\nSETTINGS ATTRIBUTES SETTING FOLDERS AS PARAMS IS DANGEROUS !!!!"


def word(path):
    value = int.from_bytes(os.getxattr(path, ATTRIBUTE, follow_symlinks=False), "big")
    return value or NORMAL


def signed(value):
    return value - (1 << 32) if value >= 1 << 31 else value


def kind(path):
    """"folder" (walked), "file" (handed to the rule) or "skipped"."""
    value = word(path)
    mode = os.lstat(path).st_mode
    if value & REPARSE_POINT:
        if value & DIRECTORY:
            return "skipped"
        if stat.S_ISLNK(mode):
            try:
                if stat.S_ISDIR(os.stat(path).st_mode):
                    return "skipped"
            except OSError:
                return "skipped"  # does not resolve
        return "file"
    return "folder" if stat.S_ISDIR(mode) else "file"


def walk(folder):
    """The files of a folder's tree, in walk order: [(path, word)]."""
    prefix = folder if folder.endswith(b"/") else folder + b"/"
    files = []
    for name in os.listdir(folder):  # readdir's order
        path = prefix + name
        what = kind(path)
        if what == "folder":
            files += walk(path)
        elif what == "file":
            files.append((path, word(path)))
    return files


def covered(arguments):
    """The files the path arguments cover, in order."""
    files = []
    for argument in arguments:
        if argument == b"":
            continue
        if stat.S_ISDIR(os.lstat(argument).st_mode):
            files += walk(argument)
        else:
            files.append((argument, word(argument)))
    return files


def records(files):
    return b"".join(b"\n%d, %s" % (signed(value), path) for path, value in files)


def suspects(files):
    return [(path, value) for path, value in files if value == SUSPECT]


def repair_target(path, value):
    """The word repair writes to a file, or None when it leaves the file alone."""
    if MARKER in path:
        return ARCHIVE
    return NORMAL if value == SUSPECT else None


def repair_failures(files):
    """couldNotFix records and console of a repair where every change fails."""
    failed = [(path, value) for path, value in files if repair_target(path, value) is not None]
    console = b"".join(b"\n FlagsR: %d, File: %s" % (signed(value), path) for path, value in failed)
    return records(failed), console


def set_console(files, value, succeeded=True):
    if succeeded:
        return b"".join(WARNING + b"\n Attributes %d successfully set to %s" % (signed(value), path)
                        for path, _ in files)
    return b"".join(WARNING + b"\n Could not set attributes to " + path for path, _ in files)


def set_value(text):
    """The value of a decimal text: leading blanks, an optional sign, digits up
    to the first other character, clamped to the signed 32-bit range."""
    i = 0
    while i < len(text) and text[i] in " \t\n\v\f\r":
        i += 1
    sign = 1
    if i < len(text) and text[i] in "+-":
        sign = -1 if text[i] == "-" else 1
        i += 1
    digits = ""
    while i < len(text) and text[i].isdigit() and text[i] in "0123456789":
        digits += text[i]
        i += 1
    value = sign * int(digits or "0")
    value = max(-(1 << 31), min((1 << 31) - 1, value))
    return value & 0xFFFFFFFF
