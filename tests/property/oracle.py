"""What tavrin must do on a volume, written from the rules as the README and
the usage text state them; it reads the volume, never the program's code.

- A command covers each path argument: a folder's whole tree, or the file it
  names; an empty argument covers nothing, and fails the run (status 2).
- A run whose changes fail completes with status 1; set takes only a whole
  decimal number in the signed 32-bit range, and refuses any other text
  with status 2 before touching anything.
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
- Read from the volume's file table (`reader`), an entry whose reparse tag
  does not stand for another place (a dedup or cloud tag) is what Windows
  makes of it: a file with its stored word, even where ntfs-3g shows a link
  to nowhere. A command that acts on it reads its word through the driver.
- Hard links are one file with several names: a change through one name
  shows through every other, in walk order.
"""

import os
import stat

ATTRIBUTE = "system.ntfs_attrib_be"
REPARSE = "system.ntfs_reparse_data"
NAME_SURROGATE = 0x20000000
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


def tag(path):
    """The reparse tag, or None where ntfs-3g cannot read the data (EIO on
    some large link data): then the entry is taken as a link."""
    try:
        return int.from_bytes(os.getxattr(path, REPARSE, follow_symlinks=False)[:4], "little")
    except OSError:
        return None


def leads_nowhere_or_to_folder(path):
    try:
        return stat.S_ISDIR(os.stat(path).st_mode)
    except OSError:
        return True


def driver_word(path):
    """The word as the walk reads it: a link that leads to a folder or
    nowhere reads as a folder."""
    value = word(path)
    if value & REPARSE_POINT and not value & DIRECTORY and stat.S_ISLNK(os.lstat(path).st_mode) \
            and leads_nowhere_or_to_folder(path):
        return value | DIRECTORY
    return value


def kind(path, reader=False):
    """"folder" (walked), "file" (handed to the rule) or "skipped"."""
    value = word(path)
    mode = os.lstat(path).st_mode
    if value & REPARSE_POINT:
        if value & DIRECTORY:
            return "skipped"
        if reader and tag(path) is not None and not tag(path) & NAME_SURROGATE:
            return "file"
        if stat.S_ISLNK(mode):
            try:
                if stat.S_ISDIR(os.stat(path).st_mode):
                    return "skipped"
            except OSError:
                return "skipped"  # does not resolve
        return "file"
    return "folder" if stat.S_ISDIR(mode) else "file"


def walk(folder, reader=False):
    """The files of a folder's tree, in walk order: [(path, word)]."""
    prefix = folder if folder.endswith(b"/") else folder + b"/"
    files = []
    for name in os.listdir(folder):  # readdir's order
        path = prefix + name
        what = kind(path, reader)
        if what == "folder":
            files += walk(path, reader)
        elif what == "file":
            files.append((path, word(path)))
    return files


def covered(arguments, reader=False):
    """The files the path arguments cover, in order."""
    files = []
    for argument in arguments:
        if argument == b"":
            continue
        if stat.S_ISDIR(os.lstat(argument).st_mode):
            files += walk(argument, reader)
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
    """couldNotFix records and console of a repair where every change fails;
    each failure is recorded with the word the driver reads."""
    failed = [(path, driver_word(path)) for path, value in files if repair_target(path, value) is not None]
    console = b"".join(b"\n FlagsR: %d, File: %s" % (signed(value), path) for path, value in failed)
    return records(failed), console


def set_console(files, value, succeeded=True):
    if succeeded:
        return b"".join(WARNING + b"\n Attributes %d successfully set to %s" % (signed(value), path)
                        for path, _ in files)
    return b"".join(WARNING + b"\n Could not set attributes to " + path for path, _ in files)


def set_value(text):
    """The word of a set command's text: an optional sign, then decimal digits
    and nothing else, in the signed 32-bit range; None for any other text."""
    digits = text[1:] if text[:1] in ("+", "-") else text
    if not digits or any(c not in "0123456789" for c in digits):
        return None
    value = int(text)
    if not -(1 << 31) <= value < 1 << 31:
        return None
    return value & 0xFFFFFFFF


def repaired_words(files, stored):
    """{path: word} a repair leaves, the files taken in walk order: a file is
    judged by the word it has when its turn comes, which an earlier name of
    the same file may have changed. `stored(new, old)` is what the volume
    keeps when `new` is written over `old`."""
    current = {}  # inode: word
    after = {}
    for path, value in files:
        inode = os.lstat(path).st_ino
        now = current.get(inode, value)
        target = repair_target(path, now)
        if target is not None:
            now = stored(target, now)
        current[inode] = now
    for path, _ in files:
        after[path] = current[os.lstat(path).st_ino]
    return after


def set_refusal(text):
    """Standard error of a set command whose text is no word."""
    reason = "an empty word is not a decimal number" if text == "" else f"{text} is not a decimal number"
    hex_digits = text[2:]
    if text[:2] in ("0x", "0X") and 0 < len(hex_digits) <= 8 and \
            all(c in "0123456789abcdefABCDEF" for c in hex_digits):
        reason += f" ({text} is {signed(int(hex_digits, 16))})"
    return f"tavrin: {reason}\n".encode()


EMPTY_ARGUMENT = b"tavrin: an empty path names no file or folder\n"
