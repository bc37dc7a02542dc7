"""Edits of an unmounted NTFS image's structures, for the damaged-volume
cases: records of the file table read and written with their update
sequence (fixups) undone and redone, attributes found by type, and index
entries of a resident index root. Record numbers come from ntfs-3g, whose
inode numbers are records."""

import struct

STANDARD_INFORMATION, FILE_NAME, INDEX_ROOT, INDEX_ALLOCATION = 0x10, 0x30, 0x90, 0xA0
DATA, BITMAP = 0x80, 0xB0
END = 0xFFFFFFFF
IN_USE = 0x1
MIRRORED = 4  # records the file table's mirror holds


def runs(data):
    """[(first cluster, clusters)] of a mapping pairs array."""
    found, at, lcn = [], 0, 0
    while at < len(data) and data[at]:
        head = data[at]
        size_bytes, offset_bytes = head & 0xF, head >> 4
        length = int.from_bytes(data[at + 1:at + 1 + size_bytes], "little")
        delta = int.from_bytes(data[at + 1 + size_bytes:at + 1 + size_bytes + offset_bytes], "little", signed=True)
        lcn += delta
        found.append((lcn, length))
        at += 1 + size_bytes + offset_bytes
    return found


class Image:
    def __init__(self, path, writable=True):
        self.file = open(path, "r+b" if writable else "rb")
        boot = self.pread(0, 512)
        sector, per_cluster = struct.unpack_from("<HB", boot, 0x0B)
        self.cluster = sector * per_cluster
        mft_lcn, mirror_lcn = struct.unpack_from("<QQ", boot, 0x30)
        self.mirror = mirror_lcn * sector * per_cluster
        clusters = struct.unpack_from("<b", boot, 0x40)[0]
        self.record_size = self.cluster * clusters if clusters > 0 else 1 << -clusters
        self.sector = sector
        self.mft = [(mft_lcn, 1 << 20)]  # record 0 first, then its own map
        record = self.read(0)
        self.mft = self.mapping(record, self.attribute(record, DATA))

    def close(self):
        self.file.close()

    def pread(self, offset, length):
        self.file.seek(offset)
        return self.file.read(length)

    def pwrite(self, offset, data):
        self.file.seek(offset)
        self.file.write(data)

    def record_offset(self, number):
        at = number * self.record_size
        for lcn, length in self.mft:
            if at < length * self.cluster:
                return lcn * self.cluster + at
            at -= length * self.cluster
        raise ValueError(f"record {number} is beyond the file table")

    def read(self, number):
        """Record `number` with its fixups undone."""
        data = bytearray(self.pread(self.record_offset(number), self.record_size))
        usa, count = struct.unpack_from("<HH", data, 4)
        for i in range(1, count):
            end = i * self.sector - 2
            data[end:end + 2] = data[usa + 2 * i:usa + 2 * i + 2]
        return data

    def write(self, number, data):
        """Writes record `number` back with its fixups redone."""
        data = bytearray(data)
        usa, count = struct.unpack_from("<HH", data, 4)
        check = data[usa:usa + 2]
        for i in range(1, count):
            end = i * self.sector - 2
            data[usa + 2 * i:usa + 2 * i + 2] = data[end:end + 2]
            data[end:end + 2] = check
        self.pwrite(self.record_offset(number), bytes(data))
        if number < MIRRORED:  # the copy the drivers compare it with
            self.pwrite(self.mirror + number * self.record_size, bytes(data))

    @staticmethod
    def attributes(record):
        """[(type, offset)] of a record's attributes."""
        found, at = [], struct.unpack_from("<H", record, 0x14)[0]
        while at + 8 <= len(record):
            kind, length = struct.unpack_from("<II", record, at)
            if kind == END or length == 0:
                break
            found.append((kind, at))
            at += length
        return found

    def attribute(self, record, kind):
        return next(at for k, at in self.attributes(record) if k == kind)

    @staticmethod
    def reference(record, number):
        """The file reference of a record: its number and sequence."""
        return number | struct.unpack_from("<H", record, 0x10)[0] << 48

    @staticmethod
    def mapping(record, at):
        """The runs of the non-resident attribute at `at`."""
        length, = struct.unpack_from("<I", record, at + 4)
        pairs, = struct.unpack_from("<H", record, at + 0x20)
        return runs(record[at + pairs:at + length])

    @staticmethod
    def value(record, at):
        """(offset, length) of a resident attribute's value."""
        length, offset = struct.unpack_from("<IH", record, at + 0x10)
        return at + offset, length

    def root_entries(self, record):
        """[(entry offset, file reference, name)] of the resident index root."""
        start, _ = self.value(record, self.attribute(record, INDEX_ROOT))
        header = start + 0x10
        first, end = struct.unpack_from("<II", record, header)
        found, at = [], header + first
        while at < header + end:
            reference, length, key, flags = struct.unpack_from("<QHHI", record, at)
            if flags & 2:  # the last entry holds no name
                break
            name_length = record[at + 0x10 + 0x40]
            name = bytes(record[at + 0x10 + 0x42:at + 0x10 + 0x42 + 2 * name_length]).decode("utf-16-le")
            found.append((at, reference, name))
            at += length
        return found

    def allocation(self, number):
        """[(byte offset, length)] of a folder's index blocks on the volume."""
        record = self.read(number)
        return [(lcn * self.cluster, clusters * self.cluster)
                for lcn, clusters in self.mapping(record, self.attribute(record, INDEX_ALLOCATION))]
