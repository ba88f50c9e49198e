#!/usr/bin/env python3
"""archive-members.py FILE: one line per member of a Debian package or a zip,
in archive order, with what makes its bytes: name, mode, owner, time, size and
SHA-256 of the content. The members of a package's control and data tars are
listed under the tar's name. Two listings diffed show which members of two
builds differ (scripts/test-reproducible.sh)."""

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
            target = " -> " + info.linkname if info.issym() or info.islnk() else ""
            print(f"{prefix}/{info.name}{target} mode={info.mode:o} "
                  f"owner={info.uid}:{info.gid}/{info.uname}:{info.gname} "
                  f"mtime={info.mtime} size={info.size} sha256={digest(content)}")


def list_deb(data):
    for name, header, body in ar_members(data):
        fields = header[16:58].decode().split()
        print(f"{name} ar-header={' '.join(fields)} sha256={digest(body)}")
        if name.startswith(("control.tar", "data.tar")):
            list_tar(name, body)


def list_zip(path):
    with zipfile.ZipFile(path) as archive:
        for info in archive.infolist():
            print(f"{info.filename} date={info.date_time} attr={info.external_attr:o} "
                  f"system={info.create_system} method={info.compress_type} "
                  f"size={info.file_size} packed={info.compress_size} crc={info.CRC:08x} "
                  f"extra={info.extra.hex()}")


def main():
    path = sys.argv[1]
    with open(path, "rb") as f:
        data = f.read()
    if path.endswith(".zip"):
        list_zip(path)
    else:
        list_deb(data)


if __name__ == "__main__":
    main()
