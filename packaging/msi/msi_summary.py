"""Sets the package code and the two times of an MSI file's summary
information in place, so that a package built twice from the same sources
has the same bytes (wixl writes a random package code and the build time).

An MSI file is a compound file: a FAT of sectors holding a directory of
streams. The summary information is the root's stream "\\x05SummaryInformation",
a property set. Only values of the same size are replaced, so no sector moves.
Pure code over a byte buffer; the caller reads and writes the file.
"""

import struct

SIGNATURE = bytes.fromhex("d0cf11e0a1b11ae1")
END_OF_CHAIN = 0xFFFFFFFE
NO_STREAM = 0xFFFFFFFF
STREAM, ROOT = 2, 5
SUMMARY_NAME = "\x05SummaryInformation"
VT_LPSTR, VT_FILETIME = 30, 64
PID_REVNUMBER, PID_CREATE_DTM, PID_LASTSAVE_DTM = 9, 12, 13
FILETIME_UNIX_OFFSET = 11644473600  # seconds from 1601-01-01 to 1970-01-01


class FormatError(Exception):
    """The buffer is not a compound file of the expected shape."""


def _u32(data, offset):
    if offset < 0 or offset + 4 > len(data):
        raise FormatError(f"read past the end at {offset}")
    return struct.unpack_from("<I", data, offset)[0]


class CompoundFile:
    def __init__(self, data):
        if len(data) < 512 or data[:8] != SIGNATURE:
            raise FormatError("not a compound file")
        self.data = data
        self.sector_size = 1 << struct.unpack_from("<H", data, 0x1E)[0]
        self.mini_size = 1 << struct.unpack_from("<H", data, 0x20)[0]
        if self.sector_size not in (512, 4096) or self.mini_size != 64:
            raise FormatError("unexpected sector sizes")
        self.cutoff = _u32(data, 0x38)
        self.fat = self._read_fat()
        self.entries = self._read_directory()
        root = self.entries[0]
        if root["type"] != ROOT:
            raise FormatError("the first directory entry is not the root")
        self.mini_stream = self._offsets(root["start"], root["size"], self.sector_size, self._next_sector)
        self.mini_fat = [_u32(self._sector_bytes(self._chain(_u32(data, 0x3C))), i)
                         for i in range(0, 4 * self.mini_entries(), 4)]

    def mini_entries(self):
        return _u32(self.data, 0x40) * self.sector_size // 4

    def _sector_offset(self, sector):
        offset = (sector + 1) * self.sector_size
        if offset + self.sector_size > len(self.data):
            raise FormatError(f"sector {sector} lies past the end")
        return offset

    def _read_fat(self):
        count = _u32(self.data, 0x2C)
        sectors = [_u32(self.data, 0x4C + 4 * i) for i in range(109)]
        difat, per = _u32(self.data, 0x44), self.sector_size // 4 - 1
        difat_count = _u32(self.data, 0x48)
        if difat_count > len(self.data) // self.sector_size:
            raise FormatError("more DIFAT sectors than the file holds")
        for _ in range(difat_count):
            base = self._sector_offset(difat)
            sectors += [_u32(self.data, base + 4 * i) for i in range(per)]
            difat = _u32(self.data, base + 4 * per)
        fat = []
        for sector in sectors[:count]:
            base = self._sector_offset(sector)
            fat += struct.unpack_from(f"<{self.sector_size // 4}I", self.data, base)
        return fat

    def _next_sector(self, sector):
        if sector >= len(self.fat):
            raise FormatError(f"sector {sector} has no FAT entry")
        return self.fat[sector]

    def _chain(self, start):
        chain, sector = [], start
        while sector != END_OF_CHAIN:
            if sector in chain or len(chain) > len(self.fat):
                raise FormatError("a sector chain loops")
            chain.append(sector)
            sector = self._next_sector(sector)
        return chain

    def _sector_bytes(self, chain):
        return b"".join(self.data[self._sector_offset(s):self._sector_offset(s) + self.sector_size]
                        for s in chain)

    def _read_directory(self):
        raw = self._sector_bytes(self._chain(_u32(self.data, 0x30)))
        entries = []
        for base in range(0, len(raw), 128):
            length = struct.unpack_from("<H", raw, base + 0x40)[0]
            name = raw[base:base + max(length - 2, 0)].decode("utf-16-le", errors="replace")
            entries.append({"name": name, "type": raw[base + 0x42],
                            "left": _u32(raw, base + 0x44), "right": _u32(raw, base + 0x48),
                            "child": _u32(raw, base + 0x4C), "start": _u32(raw, base + 0x74),
                            "size": _u32(raw, base + 0x78)})
        return entries

    def _offsets(self, start, size, unit, next_unit):
        """The file offset of each unit-sized piece of a stream of size bytes."""
        offsets, unit_no = [], start
        while len(offsets) * unit < size:
            if unit_no in (END_OF_CHAIN, NO_STREAM) or len(offsets) > len(self.data) // unit:
                raise FormatError("a stream is shorter than its size")
            offsets.append(self._unit_offset(unit_no, unit))
            unit_no = next_unit(unit_no)
        return offsets

    def _unit_offset(self, number, unit):
        if unit == self.sector_size:
            return self._sector_offset(number)
        piece = number * unit // self.sector_size  # a mini sector, inside the mini stream
        if piece >= len(self.mini_stream):
            raise FormatError(f"mini sector {number} lies past the mini stream")
        return self.mini_stream[piece] + number * unit % self.sector_size

    def _next_mini(self, number):
        if number >= len(self.mini_fat):
            raise FormatError(f"mini sector {number} has no entry")
        return self.mini_fat[number]

    def root_stream(self, name):
        """(file offsets, unit, size) of a stream that is a child of the root."""
        pending, seen = [self.entries[0]["child"]], set()
        while pending:
            index = pending.pop()
            if index == NO_STREAM or index in seen:
                continue
            if index >= len(self.entries):
                raise FormatError("a directory link points past the directory")
            seen.add(index)
            entry = self.entries[index]
            if entry["type"] == STREAM and entry["name"] == name:
                if entry["size"] < self.cutoff:
                    unit, step = self.mini_size, self._next_mini
                else:
                    unit, step = self.sector_size, self._next_sector
                return self._offsets(entry["start"], entry["size"], unit, step), unit, entry["size"]
            pending += [entry["left"], entry["right"]]
        raise FormatError(f"no stream {name!r}")


def _property_offsets(stream):
    """propid -> offset of its typed value in the summary stream."""
    if len(stream) < 48 or stream[:2] != b"\xfe\xff":
        raise FormatError("the summary stream is not a property set")
    section = _u32(stream, 44)
    count = _u32(stream, section + 4)
    return {_u32(stream, section + 8 + 8 * i): section + _u32(stream, section + 12 + 8 * i)
            for i in range(count)}


def set_summary(data, package_code, unix_time):
    """Writes package_code ("{XXXXXXXX-...}") and unix_time (as the creation and
    last-saved times) into the summary information of the MSI file in data (a bytearray)."""
    cfb = CompoundFile(data)
    offsets, unit, size = cfb.root_stream(SUMMARY_NAME)
    stream = bytearray(b"".join(bytes(data[o:o + unit]) for o in offsets)[:size])
    props = _property_offsets(stream)

    at = props.get(PID_REVNUMBER)
    if at is None or _u32(stream, at) != VT_LPSTR:
        raise FormatError("the summary has no package code")
    length = _u32(stream, at + 4)
    code = package_code.encode("ascii") + b"\0"
    if len(code) != length:
        raise FormatError(f"the package code takes {length} bytes, not {len(code)}")
    stream[at + 8:at + 8 + length] = code

    filetime = struct.pack("<Q", (unix_time + FILETIME_UNIX_OFFSET) * 10_000_000)
    for pid in (PID_CREATE_DTM, PID_LASTSAVE_DTM):
        at = props.get(pid)
        if at is None or _u32(stream, at) != VT_FILETIME:
            raise FormatError(f"the summary has no time {pid}")
        stream[at + 4:at + 12] = filetime

    for i, offset in enumerate(offsets):
        piece = stream[i * unit:(i + 1) * unit]
        data[offset:offset + len(piece)] = piece
