#!/usr/bin/env python3
"""archive-members.py FILE [OTHER]: one line per member of a Debian package or
a zip, in archive order, with what makes its bytes: mode, owner, time, size
and SHA-256 of the content. The members of a package's control and data tars
are listed under the tar's name. With OTHER, only the members that differ
between the two (missing, or any field, with the offset of the first
differing byte of the content), and whether their order differs
(scripts/test-reproducible.sh)."""

import hashlib
import io
import sys
import tarfile
import zipfile


def digest(data):
    return hashlib.sha256(data).hexdigest()[:16]


def ar_members(data):
    if not data.startswith(b"!<arch>\n"):
        raise ValueError("not an ar archive")
    pos = 8
    while pos + 60 <= len(data):
        header = data[pos:pos + 60]
        name = header[0:16].decode().strip().rstrip("/")
        size = int(header[48:58].decode().strip())
        body = data[pos + 60:pos + 60 + size]
        yield name, header, body
        pos += 60 + size + (size & 1)


def list_tar(prefix, body):
    with tarfile.open(fileobj=io.BytesIO(body), mode="r:*") as tar:
        for info in tar:
            content = tar.extractfile(info).read() if info.isfile() else b""
            yield f"{prefix}/{info.name}", {
                "link": info.linkname, "mode": f"{info.mode:o}",
                "owner": f"{info.uid}:{info.gid}/{info.uname}:{info.gname}",
                "mtime": str(info.mtime), "size": str(info.size), "sha256": digest(content)}, content


def list_deb(data):
    for name, header, body in ar_members(data):
        fields = header[16:58].decode().split()
        yield name, {"ar-header": " ".join(fields), "size": str(len(body)),
                     "sha256": digest(body)}, body
        if name.startswith(("control.tar", "data.tar")):
            yield from list_tar(name, body)


def list_zip(path):
    with zipfile.ZipFile(path) as archive:
        for info in archive.infolist():
            content = archive.read(info)
            yield info.filename, {
                "date": str(info.date_time), "attr": f"{info.external_attr:o}",
                "system": str(info.create_system), "method": str(info.compress_type),
                "size": str(info.file_size), "packed": str(info.compress_size),
                "crc": f"{info.CRC:08x}", "extra": info.extra.hex()}, content


def members(path):
    if path.endswith(".zip"):
        return list(list_zip(path))
    with open(path, "rb") as f:
        return list(list_deb(f.read()))


def first_difference(a, b):
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return i
    return min(len(a), len(b))


def show(fields):
    return " ".join(f"{k}={v}" for k, v in fields.items() if v != "")


def main():
    first = members(sys.argv[1])
    if len(sys.argv) < 3:
        for name, fields, _ in first:
            print(name, show(fields))
        return
    second = members(sys.argv[2])
    a = {name: (fields, content) for name, fields, content in first}
    b = {name: (fields, content) for name, fields, content in second}
    for name in list(a) + [n for n in b if n not in a]:
        if name not in a or name not in b:
            print(f"{name}: only in the {'first' if name in a else 'second'}")
            continue
        (fa, ca), (fb, cb) = a[name], b[name]
        differ = [f"{k} {fa[k]} / {fb.get(k)}" for k in fa if fa[k] != fb.get(k)]
        if ca != cb:
            differ.append(f"content from byte {first_difference(ca, cb)} (0x{first_difference(ca, cb):x})")
        if differ:
            print(f"{name}: " + "; ".join(differ))
    if [n for n, _, _ in first if n in b] != [n for n, _, _ in second if n in a]:
        print("the members' order differs")


if __name__ == "__main__":
    main()
