#!/usr/bin/env python3
"""Every text the program shows has its row in docs/troubleshooting.md.

The texts are taken from the product's sources, so that a new or changed
message box cannot ship without its row: each tr("...") text (box titles,
box texts, the loader's texts, the progress dialog's labels), each text a
time-out carries into the "Read timeout" box, and each cause and advice of
a failed open (serial/openfailure.cpp), which stands under the open-failure
box. A "%1" in a text stands for whatever the program fills in there.

    troubleshooting_rows.py <source root>

Prints each text that has no row and exits 1; exits 0 when all have one.
"""
import pathlib
import re
import sys

PRODUCT_FOLDERS = ("app", "serial", "canopen", "firmware")
TABLE = "docs/troubleshooting.md"

LITERALS = r'((?:"(?:[^"\\\n]|\\.)*"\s*)+)'  # adjacent C++ string literals
TEXT_CALLS = re.compile(r'\b(?:tr|TimeoutException)\(\s*' + LITERALS)
RETURNED = re.compile(r'\breturn\s+' + LITERALS + r'\s*;')
ESCAPES = {'"': '"', "\\": "\\", "n": "\n", "'": "'"}


def joined(literals):
    """The text of adjacent literals, escapes resolved."""
    parts = re.findall(r'"((?:[^"\\\n]|\\.)*)"', literals)
    return re.sub(r"\\(.)", lambda m: ESCAPES.get(m.group(1), m.group(1)), "".join(parts))


def shown_texts(root):
    """(file, text) for every text of the program a user can see."""
    for folder in PRODUCT_FOLDERS:
        for path in sorted((root / folder).glob("*.[ch]*")):
            source = path.read_text(encoding="utf-8")
            found = [joined(m.group(1)) for m in TEXT_CALLS.finditer(source)]
            if path.name == "openfailure.cpp":
                found += [joined(m.group(1)) for m in RETURNED.finditer(source)]
            for text in found:
                if text.strip():
                    yield path.relative_to(root), text.strip()


def pattern(text):
    """The text as the table may write it: a %1 stands for any filling."""
    pieces = re.split(r"%\d", text)
    return re.compile(r".+?".join(re.escape(p) for p in pieces))


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".").resolve()
    table = (root / TABLE).read_text(encoding="utf-8")
    texts = list(shown_texts(root))
    missing = [(f, t) for f, t in texts if not pattern(t).search(table)]
    for source, text in missing:
        print('%s: "%s" has no row in %s' % (source, text, TABLE))
    print("%d texts of the program, %d without a row" % (len(texts), len(missing)))
    return 1 if missing or not texts else 0


if __name__ == "__main__":
    sys.exit(main())
