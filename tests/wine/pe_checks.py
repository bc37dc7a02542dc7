"""Checks of the tavrin.exe image itself (manifest, versions, imports); no host needed."""

import re
from pathlib import Path

from suite_base import expect_equal


def pe_resource(data, type_id, name_id):
    """The bytes of resource (`type_id`, `name_id`) of a PE image, or None."""
    def u16(o):
        return int.from_bytes(data[o:o + 2], "little")

    def u32(o):
        return int.from_bytes(data[o:o + 4], "little")

    pe = u32(0x3C)
    if data[pe:pe + 4] != b"PE\0\0":
        raise AssertionError("not a PE image")
    sections, opt_size = u16(pe + 6), u16(pe + 20)
    opt = pe + 24
    data_dirs = opt + (112 if u16(opt) == 0x20B else 96)
    rsrc_rva = u32(data_dirs + 2 * 8)

    def offset(rva):
        for i in range(sections):
            s = opt + opt_size + 40 * i
            va, raw_size, raw = u32(s + 12), u32(s + 16), u32(s + 20)
            if va <= rva < va + max(raw_size, u32(s + 8)):
                return rva - va + raw
        raise AssertionError("RVA %#x is in no section" % rva)

    base = offset(rsrc_rva)

    def child(directory, wanted):
        named, ids = u16(directory + 12), u16(directory + 14)
        for i in range(named + ids):
            entry = directory + 16 + 8 * i
            if wanted is None or (i >= named and u32(entry) == wanted):
                return u32(entry + 4)
        return None

    level = 0
    for wanted in (type_id, name_id, None):
        ref = child(base + level, wanted)
        if ref is None:
            return None
        level = ref & 0x7FFFFFFF
    rva, size = u32(base + level), u32(base + level + 4)
    return data[offset(rva):offset(rva) + size]


# supportedOS ids: Windows 7, 8, 8.1, and 10 and 11.
SUPPORTED_OS = ("35138b9a-5d96-4fbd-8e2d-a2440225f93a", "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38",
                "1f676c76-80e1-4239-95bb-83d0f6d0da78", "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a")


def pe_versions(data):
    """(OS version, subsystem version, subsystem) from the optional header."""
    pe = int.from_bytes(data[0x3C:0x40], "little")
    opt = pe + 24

    def u16(o):
        return int.from_bytes(data[opt + o:opt + o + 2], "little")
    return (u16(40), u16(42)), (u16(48), u16(50)), u16(68)


def case_manifest(exe):
    data = Path(exe).read_bytes()
    # Windows 7 at least: before it the fast listing flag is refused.
    expect_equal("PE versions", pe_versions(data), ((6, 1), (6, 1), 3))
    manifest = pe_resource(data, 24, 1)
    if manifest is None:
        raise AssertionError("no RT_MANIFEST resource 1")
    text = manifest.decode("utf-8")
    if not re.search(r'<requestedExecutionLevel\s+level="asInvoker"', text):
        raise AssertionError("the manifest does not request asInvoker")
    if "longPathAware" in text:
        raise AssertionError("the manifest declares long-path awareness")
    ids = re.findall(r'<supportedOS\s+Id="\{([0-9a-f-]+)\}"\s*/>', text)
    expect_equal("supportedOS ids", sorted(ids), sorted(SUPPORTED_OS))
    version = pe_resource(data, 16, 1)
    if version is None:
        raise AssertionError("no version resource")
    for key, value in (("ProductName", "tavrin"), ("OriginalFilename", "tavrin.exe")):
        if (key + "\0").encode("utf-16-le") not in version or \
                (value + "\0").encode("utf-16-le") not in version:
            raise AssertionError("version resource lacks %s %s" % (key, value))


SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "shell32.dll", "user32.dll", "advapi32.dll",
               "ucrtbase.dll", "ntdll.dll"}


def pe_imports(data):
    """The names of the DLLs a PE image imports, from its import directory."""
    def u16(o):
        return int.from_bytes(data[o:o + 2], "little")

    def u32(o):
        return int.from_bytes(data[o:o + 4], "little")

    pe = u32(0x3C)
    sections, opt_size = u16(pe + 6), u16(pe + 20)
    opt = pe + 24
    data_dirs = opt + (112 if u16(opt) == 0x20B else 96)

    def offset(rva):
        for i in range(sections):
            s = opt + opt_size + 40 * i
            va, raw_size, raw = u32(s + 12), u32(s + 16), u32(s + 20)
            if va <= rva < va + max(raw_size, u32(s + 8)):
                return rva - va + raw
        raise AssertionError("RVA %#x is in no section" % rva)

    names = []
    descriptor = offset(u32(data_dirs + 8))
    while u32(descriptor + 12):
        at = offset(u32(descriptor + 12))
        names.append(data[at:data.index(b"\0", at)].decode("ascii"))
        descriptor += 20
    return names


def case_imports(exe):
    dlls = pe_imports(Path(exe).read_bytes())
    if not dlls:
        raise AssertionError("the image imports nothing")
    foreign = [d for d in dlls if d.lower() not in SYSTEM_DLLS and not d.lower().startswith("api-ms-win-")]
    if foreign:
        raise AssertionError("imports DLLs that are not part of Windows: %r" % foreign)
