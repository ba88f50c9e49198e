"""What the Windows GUI test (guitest.py) reads from files a case left behind.

flash_problems(FLASH, IMAGE): FLASH is the simulated node's flash file (from
0x8000), IMAGE the firmware's data as a flat binary from its first address.
The flash must hold the image with its vector checksum in place: bytes 28..31
make the first eight little-endian words add up to 0 mod 2^32, every other
byte equals the image's, and the flash beyond the image's 256-byte blocks is
erased (0xFF). Returns what differs, one text per difference (empty: none).

settings(USER_REG, KEY): the string values of registry key KEY (as written in
a Wine prefix's user.reg, e.g. guiharness.SETTINGS_KEY)
as a dict; None when the key is absent.
"""

import struct


def flash_problems(flash_path, image_path):
    flash = open(flash_path, "rb").read()
    image = open(image_path, "rb").read()
    problems = []
    if len(flash) < len(image):
        problems.append("flash holds %d bytes, the image %d" % (len(flash), len(image)))
    else:
        if sum(struct.unpack("<8I", flash[:32])) % (1 << 32) != 0:
            problems.append("vector checksum: words 0..7 do not add up to 0")
        for start, end in ((0, 28), (32, len(image))):
            if flash[start:end] != image[start:end]:
                first = next(i for i in range(start, end) if flash[i] != image[i])
                problems.append("byte 0x%X is %02X, the image has %02X"
                                % (first, flash[first], image[first]))
                break
        blocks = (len(image) + 255) // 256 * 256
        tail = flash[blocks:]
        if tail.count(0xFF) != len(tail):
            first = next(i for i, b in enumerate(tail) if b != 0xFF) + blocks
            problems.append("byte 0x%X beyond the image is %02X, not erased" % (first, flash[first]))
    return problems


def unquote(text):
    out, i = [], 0
    while i < len(text):
        if text[i] == "\\" and i + 1 < len(text):
            out.append(text[i + 1])
            i += 2
        else:
            out.append(text[i])
            i += 1
    return "".join(out)


def settings(reg_path, key):
    header = "[" + key.replace("\\", "\\\\") + "]"
    values = None
    for line in open(reg_path, encoding="utf-8", errors="replace"):
        line = line.rstrip("\n")
        if values is None:
            if line.startswith(header):
                values = {}
            continue
        if line.startswith("["):
            break
        if line.startswith('"') and '"="' in line and line.endswith('"'):
            name, _, value = line[1:-1].partition('"="')
            values[unquote(name)] = unquote(value)
    return values

