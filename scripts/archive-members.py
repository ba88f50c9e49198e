#!/usr/bin/env python3
"""archive-members.py FILE [OTHER]: one line per member of a Debian package or
a zip, in archive order, with what makes its bytes: mode, owner, time, size
and SHA-256 of the content. The members of a package's control and data tars
are listed under the tar's name. With OTHER, only the members that differ
between the two (missing, or any field), with the fields that differ, and
those whose place in the order differs (scripts/test-reproducible.sh)."""

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
            content = b""
            if info.isfile():
                content = tar.extractfile(info).read()
            yield f"{prefix}/{info.name}", {
                "link": info.linkname, "mode": f"{info.mode:o}",
                "owner": f"{info.uid}:{info.gid}/{info.uname}:{info.gname}",
                "mtime": str(info.mtime), "size": str(info.size), "sha256": digest(content)}


def list_deb(data):
    for name, header, body in ar_members(data):
        fields = header[16:58].decode().split()
        yield name, {"ar-header": " ".join(fields), "size": str(len(body)), "sha256": digest(body)}
        if name.startswith(("control.tar", "data.tar")):
            yield from list_tar(name, body)


def list_zip(path):
    with zipfile.ZipFile(path) as archive:
        for info in archive.infolist():
            yield info.filename, {
                "date": str(info.date_time), "attr": f"{info.external_attr:o}",
                "system": str(info.create_system), "method": str(info.compress_type),
                "size": str(info.file_size), "packed": str(info.compress_size),
                "crc": f"{info.CRC:08x}", "extra": info.extra.hex()}


def members(path):
    if path.endswith(".zip"):
        return list(list_zip(path))
    with open(path, "rb") as f:
        return list(list_deb(f.read()))


def show(fields):
    return " ".join(f"{k}={v}" for k, v in fields.items() if v != "")


def main():
    first = members(sys.argv[1])
    if len(sys.argv) < 3:
        for name, fields in first:
            print(name, show(fields))
        return
    second = members(sys.argv[2])
    a, b = dict(first), dict(second)
    for name in list(a) + [n for n in b if n not in a]:
        if name not in b or name not in a:
            print(f"{name}: only in the {'first' if name in a else 'second'}")
            continue
        differ = [k for k in a[name] if a[name][k] != b[name].get(k)]
        if differ:
            print(f"{name}: " + "; ".join(f"{k} {a[name][k]} / {b[name].get(k)}" for k in differ))
    if [n for n, _ in first if n in b] != [n for n, _ in second if n in a]:
        print("the members' order differs")


if __name__ == "__main__":
    main()
