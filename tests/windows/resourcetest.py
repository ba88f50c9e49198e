#!/usr/bin/env python3
"""The Windows program's resources, read back from the .exe in the zip of
scripts/build-windows.sh (the zip's path is the argument):

    icon group   the first icon group is IDI_ICON1 (Qt's class icon), the only one
    icon sizes   it holds every size of cmake/windows-resources.cmake, square
    version      the binary and string versions are the project's (from CMake),
                 the company is the one of cmake/names.cmake; product,
                 description, file name and copyright are set
    manifest     one manifest, ID 1, well-formed, asInvoker, Windows 10/11,
                 per-monitor DPI awareness (what Qt 5.15 sets itself)
    wine         Windows' own readers under Wine (ExtractIconEx, LoadImage as
                 Qt calls it, GetFileVersionInfo) find the icon and the version
    window icon  the program started under Wine on a virtual display: its
                 window's icon (_NET_WM_ICON, which Wine sets from the window's
                 icon) is the .exe's 32 px icon, pixel for pixel

Run by scripts/test-windows-resources.sh. Read with icoutils' wrestool and
icotool and scripts/pe_resources.py, and under Wine with
tests/windows/resource_probe.cpp. Prints one line per check and ends with
"N passed, N failed"; the exit status is non-zero on any failure.

Work tree: $QRIO_WIN_RES_BUILD, default build-win-res/ (the unpacked .exe,
the probe, a Wine prefix). The project's version is the one the Windows build
in $QRIO_WIN_APP_BUILD (default build-win-app/) wrote.
"""

import glob
import os
import re
import shutil
import struct
import subprocess
import sys
import threading
import time
import xml.etree.ElementTree as ET
import zlib

import winetest
from winetest import ROOT, abort

WORK = os.environ.get("QRIO_WIN_RES_BUILD") or os.path.join(ROOT, "build-win-res")
APP_BUILD = os.environ.get("QRIO_WIN_APP_BUILD") or os.path.join(ROOT, "build-win-app")
PE_RESOURCES = os.path.join(ROOT, "scripts", "pe_resources.py")
PROBE_SRC = os.path.join(ROOT, "tests", "windows", "resource_probe.cpp")

# The manifest's namespaces, and Windows 10/11's supportedOS id.
MANIFEST_NS = {"v1": "urn:schemas-microsoft-com:asm.v1", "v3": "urn:schemas-microsoft-com:asm.v3",
               "c": "urn:schemas-microsoft-com:compatibility.v1",
               "ws05": "http://schemas.microsoft.com/SMI/2005/WindowsSettings",
               "ws16": "http://schemas.microsoft.com/SMI/2016/WindowsSettings"}
WINDOWS_10 = "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"


def work(name):
    return os.path.join(WORK, name)


def run(cmd, out_path=None, **kw):
    """Runs a command with no input; its output (stdout and stderr) goes to
    out_path when given. Returns (exit status, output as text); status 124
    when it timed out."""
    try:
        p = subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, **kw)
        status, data = p.returncode, p.stdout
    except subprocess.TimeoutExpired as e:
        status, data = 124, e.stdout or b""
    if out_path:
        with open(out_path, "wb") as f:
            f.write(data)
    return status, data.decode("utf-8", "replace")


def lines(path):
    """A text file's lines without their ends (CRs dropped); [] when it is missing."""
    try:
        return open(path, errors="replace").read().replace("\r", "").split("\n")
    except FileNotFoundError:
        return []


def joined(path):
    """A text file on one line, for a failure's message."""
    return "".join(l + ";" for l in lines(path) if l)


# ---- the icon


def check_icon_group(exe):
    """None when IDI_ICON1 is the only icon group; else why not."""
    _, out = run(["wrestool", "-l", exe], work("wrestool.txt"))
    groups = re.findall(r"^--type=14 --name=(\S*) ", out, re.M)
    if groups != ["'IDI_ICON1'"]:
        return "icon groups: [%s], want only 'IDI_ICON1'" % " ".join(groups)
    return None


def check_icon_sizes(exe):
    """None when IDI_ICON1 holds exactly the sizes the build renders, square; else why not."""
    m = re.search(r"^set\(QRIO_ICON_SIZES (.*)\)$",
                  open(os.path.join(ROOT, "cmake", "windows-resources.cmake")).read(), re.M)
    want = m.group(1) if m else ""
    got = []
    status, _ = run(["wrestool", "-x", "-t14", "-n", "IDI_ICON1", exe], work("icon.ico"))
    if status == 0 and os.path.getsize(work("icon.ico")) > 0:
        _, listing = run(["icotool", "-l", work("icon.ico")])
        for w, h in re.findall(r"--width=([0-9]*) --height=([0-9]*)", listing):
            got.append((int(w), w if w == h else "%sx%s" % (w, h)))
    got = " ".join(name for _, name in sorted(got))
    if not want or got != want:
        return "sizes [%s], want [%s]" % (got, want)
    return None


# ---- the version resource


def check_version(exe, version, quad, company, exe_name):
    """None when the version resource states the project's version and names; else why not."""
    run([sys.executable, PE_RESOURCES, "version", exe], work("version.txt"))
    have = lines(work("version.txt"))

    def why():
        for want in ("FILEVERSION " + quad, "PRODUCTVERSION " + quad, "FileVersion=" + version,
                     "ProductVersion=" + version, "CompanyName=" + company, "OriginalFilename=" + exe_name):
            if want not in have:
                return 'no "%s"' % want
        for key in ("ProductName", "FileDescription"):
            if not any(l.startswith(key + "=") and len(l) > len(key) + 1 for l in have):
                return "no " + key
        if not any(re.match("^LegalCopyright=Copyright .*" + re.escape(company), l) for l in have):
            return "no copyright line"
        return None
    problem = why()
    return "%s (%s)" % (problem, joined(work("version.txt"))) if problem else None


# ---- the manifest


def manifest_problem(path):
    """None when the manifest at path is what the program needs; else why not."""
    try:
        root = ET.parse(path).getroot()
    except ET.ParseError as e:
        return "not well-formed: %s" % e

    def one(xpath):
        found = root.findall(xpath, MANIFEST_NS)
        return found[0] if len(found) == 1 else None
    if root.tag != "{%s}assembly" % MANIFEST_NS["v1"]:
        return "root is %s, not assembly" % root.tag
    level = one("v3:trustInfo/v3:security/v3:requestedPrivileges/v3:requestedExecutionLevel")
    if level is None or level.get("level") != "asInvoker":
        return "requestedExecutionLevel is not asInvoker"
    ids = [e.get("Id") for e in root.findall("c:compatibility/c:application/c:supportedOS", MANIFEST_NS)]
    if WINDOWS_10 not in ids:
        return "Windows 10/11 not among supportedOS %s" % ids
    aware = one("v3:application/v3:windowsSettings/ws05:dpiAware")
    awareness = one("v3:application/v3:windowsSettings/ws16:dpiAwareness")
    if aware is None or aware.text.strip() != "true/pm":
        return "dpiAware is not true/pm"
    if awareness is None or awareness.text.strip() != "PerMonitor":
        return "dpiAwareness is not PerMonitor"
    return None


def check_manifest(exe):
    """None when the .exe holds one manifest, ID 1, as the program needs it; else why not."""
    _, listing = run([sys.executable, PE_RESOURCES, "list", exe])
    manifests = [f[1] for f in (l.split() for l in listing.split("\n")) if len(f) > 1 and f[0] == "24"]
    if manifests != ["1"]:
        return "manifest resources: [%s], want exactly one, ID 1" % " ".join(manifests)
    with open(work("manifest.xml"), "wb") as out:
        if subprocess.run([sys.executable, PE_RESOURCES, "dump", exe, "24", "1"], stdin=subprocess.DEVNULL,
                          stdout=out, stderr=subprocess.DEVNULL).returncode != 0:
            return "cannot read it"
    return manifest_problem(work("manifest.xml"))


# ---- the same through Windows' own readers, under Wine


def build_probe():
    """tests/windows/resource_probe.cpp built with mingw when its source is
    newer than the build; returns its path, or None when it cannot be built."""
    probe = work("resource_probe.exe")
    if not os.path.exists(probe) or os.path.getmtime(PROBE_SRC) > os.path.getmtime(probe):
        status, _ = run(["x86_64-w64-mingw32-g++-posix", "-std=c++17", "-static", "-O2", "-municode",
                         "-Wall", "-Wextra", "-Werror", PROBE_SRC, "-o", probe + ".new",
                         "-lversion", "-lshell32", "-lgdi32", "-luser32"], work("probe-build.log"))
        if status == 0:
            os.replace(probe + ".new", probe)
    return probe if os.path.exists(probe) else None


def check_wine(exe, version, company):
    """None when Windows' readers under Wine find the icon and the version; else why not."""
    probe = build_probe()
    if not probe:
        return "building the probe failed (log: %s)" % work("probe-build.log")
    env = winetest.wine_env(work("wineprefix"))
    for name in ("DISPLAY", "WAYLAND_DISPLAY"):
        env.pop(name, None)
    try:
        with open(work("probe.txt"), "wb") as out, open(work("probe.err"), "wb") as err:
            subprocess.run(["wine", probe, winetest.wine_path(exe)], env=env, stdin=subprocess.DEVNULL,
                           stdout=out, stderr=err, timeout=120)
    except subprocess.TimeoutExpired:
        pass
    finally:
        winetest.wine_stop(env)
    have = lines(work("probe.txt"))
    for want in ("icons=1", "first-icon=32x32", "IDI_ICON1=32x32", "IDI_ICON1@256=256x256",
                 "FileVersion=" + version, "ProductVersion=" + version, "CompanyName=" + company):
        if want not in have:
            return 'no "%s" (%s)' % (want, joined(work("probe.txt")))
    return None


# ---- the window's icon, as the title bar and the taskbar get it


def png_rgba(path):
    """(width, height, pixels as (r, g, b, a)) of an 8-bit RGBA, not interlaced
    PNG: what icotool writes. Raises ValueError on another format."""
    data = open(path, "rb").read()
    pos, idat = 8, b""
    while pos < len(data):
        n, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + n]
        if kind == b"IHDR":
            w, h, depth, color = struct.unpack(">IIBB", body[:10])
            if (depth, color) != (8, 6):
                raise ValueError("unexpected PNG format %d/%d" % (depth, color))
        elif kind == b"IDAT":
            idat += body
        pos += 12 + n
    raw, stride, rows, prev = zlib.decompress(idat), 4 * w, [], bytearray(4 * w)
    for y in range(h):
        f, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for x in range(stride):
            a = line[x - 4] if x >= 4 else 0
            b, c = prev[x], prev[x - 4] if x >= 4 else 0
            if f == 1:
                line[x] = (line[x] + a) & 255
            elif f == 2:
                line[x] = (line[x] + b) & 255
            elif f == 3:
                line[x] = (line[x] + (a + b) // 2) & 255
            elif f == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[x] = (line[x] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append(line)
        prev = line
    return w, h, [tuple(r[i:i + 4]) for r in rows for i in range(0, stride, 4)]


def icon_problem(xprop_text, png_path):
    """None when the window's _NET_WM_ICON (xprop's text) holds the 32 px icon
    of the PNG, every opaque pixel alike; else why not."""
    vals = [int(v) for v in xprop_text.split("=", 1)[1].replace(",", " ").split()]
    icons, i = {}, 0
    while i + 2 <= len(vals):
        w, h = vals[i], vals[i + 1]
        icons[(w, h)] = vals[i + 2:i + 2 + w * h]
        i += 2 + w * h
    if (32, 32) not in icons:
        return "the window has no 32x32 icon (%s)" % sorted(icons)
    try:
        _, _, want = png_rgba(png_path)
    except ValueError as e:
        return str(e)
    got = icons[(32, 32)]
    opaque = [k for k, px in enumerate(want) if px[3] == 255]
    bad = [k for k in opaque
           if got[k] & 0xFFFFFFFF != (255 << 24 | want[k][0] << 16 | want[k][1] << 8 | want[k][2])]
    if not opaque or bad:
        return "%d of %d opaque pixels differ from the .exe's icon" % (len(bad), len(opaque))
    return None


def start_display():
    """Xvfb on a free display number, which it reports; (Popen, ":N"), the
    name None when it did not start within 10 s (the process is then still to
    be ended)."""
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=open(work("xvfb.log"), "w"), text=True)
    found = []
    reader = threading.Thread(target=lambda: found.append(xvfb.stdout.readline().strip()), daemon=True)
    reader.start()
    reader.join(10)
    return xvfb, (":" + found[0]) if found and found[0] else None


def window_icon(exe, display):
    """The program started under Wine on `display`: xprop's text of the
    _NET_WM_ICON of its first visible window that has one (waiting up to
    30 s), "" when none showed. Ends the program."""
    env = winetest.wine_env(work("wineprefix"), DISPLAY=display)
    program = subprocess.Popen(["wine", exe], env=env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    icon = ""
    try:
        end = time.monotonic() + 30
        while not icon and time.monotonic() < end:
            _, found = run(["xdotool", "search", "--onlyvisible", "--name", "."], env=env)
            for w in found.split():
                _, text = run(["xprop", "-id", w, "-notype", "32c", "_NET_WM_ICON"], env=env)
                if re.search("= [0-9]", text):
                    icon = text
                    break
            else:
                time.sleep(0.25)
    finally:
        winetest.wine_stop(env)
        program.wait()
    return icon


def check_window_icon(exe):
    """None when the program's window carries the .exe's 32 px icon; else why not."""
    png = work("icon-32.png")
    if run(["icotool", "-x", "-w", "32", "-h", "32", "-o", png, work("icon.ico")])[0] != 0:
        return "no 32 px icon in the .exe to compare with"
    xvfb, display = start_display()
    try:
        icon = window_icon(exe, display) if display else ""
    finally:
        xvfb.terminate()
        xvfb.wait()
    if not icon:
        return "no window with an icon appeared"
    with open(work("window-icon.txt"), "w") as f:
        f.write(icon)
    return icon_problem(icon, png)


def unpack(zip_path, exe_name):
    """The zip unpacked afresh; the .exe's path in it."""
    unpacked = work("unpacked")
    shutil.rmtree(unpacked, ignore_errors=True)
    os.makedirs(unpacked)
    if run(["cmake", "-E", "tar", "xf", zip_path], cwd=unpacked)[0] != 0:
        abort("unpacking %s failed" % zip_path)
    exes = sorted(glob.glob(os.path.join(unpacked, "*", exe_name)))
    if not exes:
        abort("%s holds no %s" % (zip_path, exe_name))
    return exes[0]


def main():
    winetest.exit_on_signals()
    if len(sys.argv) != 2:
        abort("usage: resourcetest.py ZIP")
    zip_path = os.path.abspath(sys.argv[1])
    os.makedirs(WORK, exist_ok=True)
    try:
        names = winetest.build_names()
    except (OSError, subprocess.CalledProcessError):
        abort("cmake -P cmake/names.cmake gives no names")
    company, exe_name = names["QRIO_COMPANY"], names["QRIO_EXE_NAME"] + ".exe"
    version_file = os.path.join(APP_BUILD, "project-version.txt")
    version = "".join(lines(version_file)).strip()
    if not version:
        abort("no project version in " + version_file)
    quad = ".".join((version.split(".") + ["0"] * 4)[:4])
    exe = unpack(zip_path, exe_name)
    print("checking %s %s from %s" % (exe_name, version, os.path.basename(zip_path)), flush=True)

    tally = winetest.Tally(work("results"))

    def check(name, problem):
        tally.check(problem is None, name + (": " + problem if problem else ""))
    check("icon group", check_icon_group(exe))
    check("icon sizes", check_icon_sizes(exe))
    check("version", check_version(exe, version, quad, company, exe_name))
    check("manifest", check_manifest(exe))
    check("wine", check_wine(exe, version, company))
    check("window icon", check_window_icon(exe))
    return tally.finish()


if __name__ == "__main__":
    sys.exit(main())
