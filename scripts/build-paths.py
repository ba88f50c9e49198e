#!/usr/bin/env python3
"""build-paths.py FILE [WORD...]: finds traces of the machine that built a
program in it: the folders every build machine has (/root/, /home/, /tmp/)
and the WORDs given (its home, user name, source, build and cache folders).
FILE is a program, or a zip whose .exe members are searched. Each WORD is
looked for as bytes (UTF-8) and as UTF-16LE (Qt's string literals on
Windows), and with backslashes for slashes. Prints one line per trace found,
with the text around it; exits 1 when there is one, 0 when there is none."""
import re
import sys
import zipfile

MACHINE_FOLDERS = ["/root/", "/home/", "/tmp/"]


def programs(path):
    if zipfile.is_zipfile(path):
        with zipfile.ZipFile(path) as z:
            for name in z.namelist():
                if name.lower().endswith(".exe"):
                    yield name, z.read(name)
    else:
        with open(path, "rb") as f:
            yield path, f.read()


def encodings(word):
    for text in {word, word.replace("/", "\\")}:
        yield text.encode("utf-8"), 1
        yield text.encode("utf-16-le"), 2


def around(data, start, width):
    """The printable text around data[start], of characters `width` bytes wide."""
    unit = rb"[\x20-\x7e]" if width == 1 else rb"[\x20-\x7e]\x00"
    lo = start
    while lo >= width and re.fullmatch(unit, data[lo - width:lo]):
        lo -= width
    hi = start
    while hi + width <= len(data) and re.fullmatch(unit, data[hi:hi + width]):
        hi += width
    return data[lo:hi].decode("utf-8" if width == 1 else "utf-16-le")[:160]


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    words = MACHINE_FOLDERS + [w for w in sys.argv[2:] if w and w != "/"]
    found = 0
    for name, data in programs(sys.argv[1]):
        for word in dict.fromkeys(words):
            hits = {}
            for needle, width in encodings(word):
                for m in re.finditer(re.escape(needle), data):
                    text = around(data, m.start(), width)
                    hits.setdefault(text, 0)
                    hits[text] += 1
            for text, count in sorted(hits.items()):
                print(f"{name}: {word!r} {count}x in: {text}")
                found += 1
    sys.exit(1 if found else 0)


main()
