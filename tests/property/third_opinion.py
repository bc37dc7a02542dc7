"""A third opinion on records read from a volume's file table: libyal's NTFS
reader (Debian's python3-libfsntfs), which shares no code with the program
nor with ntfs-3g, reads the image itself and gives every entry's word and
names. Where it and the records disagree, one of the two readers is wrong.

Only what the two must agree on is compared: every record names an entry
pyfsntfs finds, with its word (a stored 0 reads as NORMAL), once; every entry
without a reparse point that pyfsntfs finds below plain folders (folders
without one) is recorded. Entries with a reparse point are the walk's rules'
business (links, junctions): the records may leave them out.
"""

import os

try:
    import pyfsntfs
except ImportError:  # the suites that use it skip with MISSING
    pyfsntfs = None

MISSING = "python3-libfsntfs is not installed (apt-get install python3-libfsntfs, for /usr/bin/python3)"
NORMAL, REPARSE_POINT = 0x80, 0x400
RECORD = (1 << 48) - 1  # a file reference's record number
SYSTEM_RECORDS = 16


class OffsetFile:
    """The bytes of a partition inside a disk image, as pyfsntfs reads a file."""

    def __init__(self, path, offset):
        self.file = open(path, "rb")
        self.offset = offset
        self.size = os.fstat(self.file.fileno()).st_size - offset
        self.position = 0

    def read(self, size=-1):
        if size < 0:
            size = self.size - self.position
        self.file.seek(self.offset + self.position)
        data = self.file.read(max(0, min(size, self.size - self.position)))
        self.position += len(data)
        return data

    def seek(self, offset, whence=os.SEEK_SET):
        base = {os.SEEK_SET: 0, os.SEEK_CUR: self.position, os.SEEK_END: self.size}[whence]
        self.position = base + offset

    def tell(self):
        return self.position

    get_offset = tell

    def get_size(self):
        return self.size

    def close(self):
        self.file.close()


def entries(image, folder_parts, offset=0):
    """{path parts below the folder: (word, folder?, reparse point?)} of
    every entry of the folder's tree, as pyfsntfs reads the image; plain
    folders are entered, folders with a reparse point are not."""
    source = OffsetFile(image, offset)
    volume = pyfsntfs.volume()
    volume.open_file_object(source)
    try:
        top = volume.get_root_directory()
        for name in folder_parts:
            top = next(entry for entry in top.sub_file_entries if entry.name == name)
        found = {}

        def walk(folder, parts):
            for entry in folder.sub_file_entries:
                if not folder_parts and not parts and entry.file_reference & RECORD < SYSTEM_RECORDS:
                    continue  # the volume's own files, which the drivers hide
                here = parts + (entry.name,)
                word = entry.file_attribute_flags or NORMAL
                is_folder = entry.has_directory_entries_index()
                found[here] = (word, is_folder, bool(word & REPARSE_POINT))
                if is_folder and not word & REPARSE_POINT:
                    walk(entry, here)

        walk(top, ())
        return found
    finally:
        volume.close()
        source.close()


def parse(records):
    """[(path bytes, word)] of records as the result files hold them."""
    listed = []
    for line in records.split(b"\n")[1:]:
        word, path = line.split(b", ", 1)
        listed.append((path, int(word) & 0xFFFFFFFF))
    return listed


def disagreements(image, records, root, folder_parts, offset=0):
    """Where the records of a run over `root` (the folder `folder_parts` of
    the image's volume, mounted) and pyfsntfs disagree: one line each."""
    try:
        found = entries(image, folder_parts, offset)
    except (IOError, OSError, StopIteration) as error:
        return [f"pyfsntfs could not read the volume: {error!r}"]
    prefix = root.rstrip(b"/") + b"/"
    wrong = []
    listed = {}
    for path, word in parse(records):
        if path in listed:
            wrong.append(f"recorded twice: {path!r}")
        listed[path] = word
        parts = tuple(os.fsdecode(path[len(prefix):]).split("/")) if path.startswith(prefix) else None
        if parts not in found:
            wrong.append(f"recorded, unknown to pyfsntfs: {path!r}")
        elif found[parts][1] and not found[parts][2]:
            wrong.append(f"recorded, a folder to pyfsntfs: {path!r}")
        elif found[parts][0] != word:
            wrong.append(f"word of {path!r}: recorded 0x{word:x}, pyfsntfs 0x{found[parts][0]:x}")
    for parts, (word, is_folder, reparse) in sorted(found.items()):
        path = prefix + os.fsencode("/".join(parts))
        if not is_folder and not reparse and path not in listed:
            wrong.append(f"not recorded: {path!r} (0x{word:x} to pyfsntfs)")
    return wrong
