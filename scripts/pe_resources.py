#!/usr/bin/env python3
"""Reads the resources of a Windows PE executable (standard library only).

    pe_resources.py list EXE          one line per resource, in directory order:
                                      TYPE NAME LANGUAGE SIZE (names as IDs or
                                      strings; types 3 icon, 14 icon group,
                                      16 version, 24 manifest)
    pe_resources.py version EXE       the version resource: "FILEVERSION a.b.c.d",
                                      "PRODUCTVERSION a.b.c.d", then one line
                                      "KEY=VALUE" per string of each string table
    pe_resources.py dump EXE TYPE NAME  the raw bytes of that resource on stdout
    pe_resources.py timestamp EXE     the COFF header's TimeDateStamp

Exits 1 with a message on stderr when the file is not a PE image or lacks what
was asked for.
"""
import struct
import sys

RESOURCE_DIRECTORY = 2


class PEError(Exception):
    pass


class PE:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise PEError("no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise PEError("no PE signature")
        coff = pe + 4
        (self.machine, sections, self.timestamp, _, _, opt_size,
         _) = struct.unpack_from("<HHIIIHH", data, coff)
        opt = coff + 20
        magic = struct.unpack_from("<H", data, opt)[0]
        dirs = opt + {0x10B: 96, 0x20B: 112}.get(magic, -1)
        if dirs < opt:
            raise PEError("unknown optional header 0x%x" % magic)
        self.rsrc_rva, self.rsrc_size = struct.unpack_from(
            "<II", data, dirs + 8 * RESOURCE_DIRECTORY)
        self.sections = []
        table = opt + opt_size
        for i in range(sections):
            vsize, vaddr, raw_size, raw_ptr = struct.unpack_from(
                "<IIII", data, table + 40 * i + 8)
            self.sections.append((vaddr, max(vsize, raw_size), raw_ptr))

    def offset(self, rva):
        for vaddr, size, raw in self.sections:
            if vaddr <= rva < vaddr + size:
                return raw + rva - vaddr
        raise PEError("RVA 0x%x is in no section" % rva)

    def _name(self, base, field):
        if field & 0x80000000:
            at = base + (field & 0x7FFFFFFF)
            length = struct.unpack_from("<H", self.data, at)[0]
            return self.data[at + 2:at + 2 + 2 * length].decode("utf-16-le")
        return field

    def _entries(self, base, at):
        named, ids = struct.unpack_from("<HH", self.data, at + 12)
        for i in range(named + ids):
            name, target = struct.unpack_from("<II", self.data, at + 16 + 8 * i)
            yield self._name(base, name), target

    def resources(self):
        """(type, name, language, bytes) for every resource, in directory order."""
        if not self.rsrc_rva:
            return []
        base = self.offset(self.rsrc_rva)
        found = []
        for rtype, t in self._entries(base, base):
            for name, n in self._entries(base, base + (t & 0x7FFFFFFF)):
                for lang, leaf in self._entries(base, base + (n & 0x7FFFFFFF)):
                    rva, size = struct.unpack_from("<II", self.data, base + leaf)
                    at = self.offset(rva)
                    found.append((rtype, name, lang, self.data[at:at + size]))
        return found


def _align4(n):
    return (n + 3) & ~3


def version_block(buf, at=0):
    """One VS_VERSIONINFO-style block: (key, value bytes or text, children)."""
    length, value_length, kind = struct.unpack_from("<HHH", buf, at)
    end = at + length
    key_at = at + 6
    key_end = key_at
    while buf[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = buf[key_at:key_end].decode("utf-16-le")
    pos = _align4(key_end + 2)
    if kind == 1:  # text: the length counts characters
        value = buf[pos:pos + 2 * value_length].decode("utf-16-le").rstrip("\0")
        pos += 2 * value_length
    else:
        value = buf[pos:pos + value_length]
        pos += value_length
    children = []
    pos = _align4(pos)
    while pos < end:
        child = version_block(buf, pos)
        children.append(child[:3])
        pos = _align4(pos + child[3])
    return key, value, children, length


def version_lines(buf):
    key, fixed, children, _ = version_block(buf)
    if key != "VS_VERSION_INFO":
        raise PEError("version resource starts with %r" % key)
    sig, _, fms, fls, pms, pls = struct.unpack_from("<IIIIII", fixed)
    if sig != 0xFEEF04BD:
        raise PEError("no VS_FIXEDFILEINFO")
    quad = lambda ms, ls: "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    lines = ["FILEVERSION " + quad(fms, fls), "PRODUCTVERSION " + quad(pms, pls)]
    for name, _, tables in children:
        if name != "StringFileInfo":
            continue
        for _, _, strings in tables:
            lines += ["%s=%s" % (k, v) for k, v, _ in strings]
    return lines


def main(argv):
    if len(argv) < 3 or argv[1] not in ("list", "version", "dump", "timestamp"):
        print(__doc__, file=sys.stderr)
        return 2
    with open(argv[2], "rb") as f:
        pe = PE(f.read())
    if argv[1] == "timestamp":
        print(pe.timestamp)
        return 0
    res = pe.resources()
    if argv[1] == "list":
        for rtype, name, lang, body in res:
            print(rtype, name, lang, len(body))
        return 0
    if argv[1] == "version":
        bodies = [body for rtype, _, _, body in res if rtype == 16]
        if not bodies:
            raise PEError("no version resource")
        print("\n".join(version_lines(bodies[0])))
        return 0
    want_type, want_name = int(argv[3]), argv[4]
    for rtype, name, _, body in res:
        if rtype == want_type and str(name) == want_name:
            sys.stdout.buffer.write(body)
            return 0
    raise PEError("no resource of type %d named %s" % (want_type, want_name))


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv))
    except (PEError, struct.error, OSError) as e:
        print("pe_resources: %s" % e, file=sys.stderr)
        sys.exit(1)
