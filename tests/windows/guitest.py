#!/usr/bin/env python3
"""The Windows program itself, through its real window under Wine on a
virtual display, against the simulated node on Wine COM ports.

Run by scripts/test-windows-gui.sh, which gives it its namespaces, the
packages and the display (DISPLAY, with a window manager). The program is the
one in the zip of scripts/build-windows.sh (built first, with its Qt when the
cache is cold), unpacked into the build tree with firmware put into its
"Kelvo Firmware" folder, as a user would.

The cases are the functions case_<name> below, run in the order of CASES,
each in its own copy of one Wine prefix made per run and in a process of its
own with its own time limit (a case that hangs is ended and counted failed).
The node's port is left as users leave ports, never raw (ptyhold.py): as a
fresh terminal device is, or as a terminal program leaves it.

Prints one line per check and ends with "N passed, N failed"; the exit status
is non-zero on any failure.

Build tree: $QRIO_WIN_GUI_BUILD, default build-win-gui/: per case its Wine
prefix, screenshots, the simulator's log and flash, the program's output.
The simulated node is build/sim/canopen-node-sim, built there as needed.
"""

import glob
import os
import re
import shutil
import subprocess
import sys
import termios
import time

import guicheck
import winetest
from guiharness import (BUSY, COMPANY, DESIGN_SIZE, EXE_NAME, GUI, PIDS, PLACES, PREFIXES, RUN, SETTINGS_KEY,
                        SIM_PORT, TEMPLATE, TITLE, find_places, output, point, port_link, quiet, run_case,
                        window_name)
from winetest import ROOT, abort

FIRMWARE_FOLDER = winetest.build_names()["QRIO_FIRMWARE_FOLDER"]

# Besides the node's, four registered COM ports that cannot be opened
# (registered to a directory, which fails as a port held by another program
# does), with numbers whose textual order differs from the numeric one.
BUSY_PORTS = (4, 7, 12, 100)
# The node's ID: not the program's default 1, so that a forgotten setting shows.
NODE = 5

# The firmware of the cases, and a smaller one listed before it: chosen by
# default, so that a wrong choice of file shows in the node's flash.
FIRMWARE = "remote_io_demo_v1.1"
SMALL_FIRMWARE = "a_decoy_v0.9"
IMAGE = os.path.join(RUN, "image.bin")
SMALL_IMAGE = os.path.join(RUN, "decoy.bin")


# ==== the cases


def case_update(c):
    """The window's title and designed size; from a fresh terminal device, a
    full update ends in "Burning Firmware Successful" and the node's flash
    holds the image; the registry then holds that update's settings."""
    c.new_prefix()
    c.start_node("--node", str(NODE))
    c.preset(nodeid=str(NODE), com_port=str(SIM_PORT), filename=FIRMWARE)
    c.start_program()
    c.shot("window")

    c.check(window_name(c.main) == TITLE, "the window is titled " + TITLE)
    geometry = dict(l.split("=", 1) for l in output(["xdotool", "getwindowgeometry", "--shell", c.main]).split())
    size = "%sx%s" % (geometry.get("WIDTH"), geometry.get("HEIGHT"))
    c.check(size == DESIGN_SIZE, "the window has its designed size %s (is %s)" % (DESIGN_SIZE, size))

    # Every value saved from here on is the update's own.
    with open(os.path.join(c.dir, "reg.log"), "a") as log:
        subprocess.run(["wine", "reg", "delete", "HKCU\\" + SETTINGS_KEY, "/f"], env=c.env,
                       stdin=subprocess.DEVNULL, stdout=log, stderr=log)
    c.update()
    time.sleep(3)
    c.shot("progress")
    box = c.wait_box(60)
    if not box:
        return c.fail("no message box within 60 s of Update")
    c.check(box.says("Burning Firmware Successful"),
            "from a fresh terminal device, a full update ends in \"Burning Firmware Successful\""
            " (%.1f s; box: %s)" % (box.seen - c.click_time, box.lines()))
    c.close_box(box)
    c.stop_node()
    diff = c.flash_differs(IMAGE)
    c.check(not diff, "the node's flash holds the image" + diff)
    logs = sorted(glob.glob(os.path.join(c.env["WINEPREFIX"], "drive_c", "users", "*", "AppData", "Local",
                                         COMPANY, TITLE, "logs", "update-*.log")))
    log = logs[-1] if logs else ""
    c.check(bool(log) and any(l.startswith('Outcome: "Burning Firmware Successful"') for l in open(log)),
            "the update's log in %%LOCALAPPDATA%% ends in its box (%s)" % os.path.basename(log))

    winetest.wine_stop(c.env)  # writes the registry out to user.reg
    values = guicheck.settings(os.path.join(c.env["WINEPREFIX"], "user.reg"), SETTINGS_KEY) or {}
    settings = "".join("%s=%s " % kv for kv in sorted(values.items()))
    expected = "com_port=%d filename=%s nodeid=%d " % (SIM_PORT, FIRMWARE, NODE)
    c.check(settings == expected, "the registry holds the update's settings (%s)" % settings)


def small_update_succeeds(c, where, *node_args, line="fresh"):
    """From a new prefix, an update of the small image against the node
    started with `node_args` on a line left as `line` ends in "Burning
    Firmware Successful" and the node's flash holds it. `where` opens each
    check's line. True when both held."""
    c.new_prefix()
    c.start_node("--node", str(NODE), *node_args, line=line)
    c.preset(nodeid=str(NODE), com_port=str(SIM_PORT), filename=SMALL_FIRMWARE)
    c.start_program()
    box = c.update_and_wait(60)
    if not box:
        return False
    ok = c.check(box.says("Burning Firmware Successful"),
                 "%s, an update ends in \"Burning Firmware Successful\" (box: %s)" % (where, box.lines()))
    c.close_box(box)
    c.stop_node()
    diff = c.flash_differs(SMALL_IMAGE)
    return c.check(not diff, "%s, the node's flash holds the image%s" % (where, diff)) and ok


def case_terminal(c):
    """From a port a terminal program left with XON/XOFF on, an update (of a
    small image) ends in "Burning Firmware Successful" and the node's flash
    holds it."""
    small_update_succeeds(c, "from a port left with XON/XOFF on", line="terminal")
    # What support reads: the state found (XON/XOFF on) and the state set.
    err = open(os.path.join(c.dir, "program.err"), errors="replace").read().replace("\r", "")

    def first(pattern):
        m = re.search(pattern + ".*", err)
        return m.group(0) if m else ""
    found, set_ = first("Serial line state at open: "), first("Serial line state set: ")
    c.check("XON/XOFF in" in found and set_ and "XON" not in set_,
            "the program reports the line state found and set (%s; %s)" % (found or "none", set_ or "none"))


def case_live_bus(c):
    """On a live bus (the node's heartbeat every second, two other nodes'
    heartbeats and PDOs every 50 ms), an update of a small image ends in
    "Burning Firmware Successful" and the node's flash holds it."""
    small_update_succeeds(c, "on a live bus", "--heartbeat", "1000", "--other-nodes", "2,3",
                          "--other-period", "50")


def case_restart(c):
    """The program started again shows those settings chosen: Update with
    nothing touched updates the same node from the same file."""
    # The update case's registry, nothing preset: without the remembered
    # choices the program would pick COM4, which cannot be opened, node 1,
    # and the decoy file listed first.
    c.new_prefix(from_case="update")
    c.start_node("--node", str(NODE))
    c.start_program()
    c.shot("window")
    box = c.update_and_wait(60)
    if not box:
        return
    c.check(box.says("Burning Firmware Successful"),
            "restarted, Update with the remembered choices ends in \"Burning Firmware Successful\""
            " (box: %s)" % box.title)
    c.close_box(box)
    c.stop_node()
    diff = c.flash_differs(IMAGE)
    c.check(not diff, "restarted, the node's flash holds the remembered file's image" + diff)


def case_silent(c):
    """A node that answers nothing: "Read timeout" 4 s after the request."""
    c.new_prefix()
    c.start_node("--node", str(NODE), "--silent")
    c.preset(nodeid=str(NODE), com_port=str(SIM_PORT), filename=FIRMWARE)
    c.start_program()
    box = c.update_and_wait(30)
    if not box:
        return
    c.check(box.says("Read timeout"), "a silent node ends in \"Read timeout\" (box: %s)" % box.title)
    c.close_box(box)
    c.stop_node()
    # From the node's receipt of the request (its log's monotonic time) to the box.
    request = 0.0
    for line in open(os.path.join(c.dir, "sim.log")):
        words = line.split()
        if len(words) > 1 and words[1] == "RX":
            request = float(words[0])
    after = box.seen - request
    c.check(3.95 <= round(after, 2) <= 5.5, "\"Read timeout\" shows about 4 s after the request (%.2f s)" % after)


def case_stopped(c):
    """A line whose output is held off (as flow control would hold it): "Read timeout"."""
    c.new_prefix()
    c.start_node("--node", str(NODE))
    # The program's line set-up does not release that.
    fd = os.open(os.readlink(port_link(SIM_PORT)), os.O_RDWR | os.O_NOCTTY)
    termios.tcflow(fd, termios.TCOOFF)
    os.close(fd)
    c.preset(nodeid=str(NODE), com_port=str(SIM_PORT), filename=SMALL_FIRMWARE)
    c.start_program()
    box = c.update_and_wait(30)
    if not box:
        return
    c.check(box.says("Read timeout"),
            "a line whose output is held off ends in \"Read timeout\" (box: %s)" % box.lines())
    c.close_box(box)


def case_corrupt(c):
    """A flash that stores one byte wrongly (small image): "Burning Firmware Failed"."""
    c.new_prefix()
    c.start_node("--node", str(NODE), "--corrupt", "100")
    c.preset(nodeid=str(NODE), com_port=str(SIM_PORT), filename=SMALL_FIRMWARE)
    c.start_program()
    box = c.update_and_wait(60)
    if not box:
        return
    c.check(box.says("Burning Firmware Failed") and box.says("File is different"),
            "a wrongly stored byte ends in \"Burning Firmware Failed\" / \"File is different\"")
    c.close_box(box)


def case_ports(c):
    """The port list holds the registered ports in numeric order; a port that
    cannot be opened: "Open Serial COM<n> failed"."""
    # Only ports that cannot be opened: each Update ends in a box naming the
    # chosen port. The keyboard walks the list from its top.
    c.new_prefix()
    c.preset(com_port=str(BUSY_PORTS[1]), filename=FIRMWARE)
    c.start_program()
    seen = []
    for step in range(8):
        c.click(PLACES["comboBox"])  # opens the list, rebuilt on the press
        time.sleep(0.5)
        quiet(["xdotool", "key", "Home" if step == 0 else "Down"])
        quiet(["xdotool", "key", "Return"])
        time.sleep(0.3)
        box = c.update_and_wait(15, copy=step == 0)  # after the first, the titles tell the rest
        if not box:
            return
        if step == 0:
            c.check(box.says("Open Serial COM%d failed" % BUSY_PORTS[0])
                    and box.says("Does there has other application lock the COM port?"),
                    "a port that cannot be opened ends in \"Open Serial COM%d failed\" (box: %s)"
                    % (BUSY_PORTS[0], box.title))
        if not c.close_box(box):
            return c.fail("the box \"%s\" does not close" % box.title)
        m = re.match(r"^Open Serial COM([0-9]+) failed$", box.title)
        if not m or (seen and seen[-1] == int(m.group(1))):  # the list's end
            break
        seen.append(int(m.group(1)))
    c.check(seen == sorted((SIM_PORT,) + BUSY_PORTS),
            "the port list holds the registered ports in numeric order (%s)" % " ".join(map(str, seen)))


# The cases in their order (restart uses update's prefix), each with its time limit in seconds.
CASES = (
    (case_update, 120),
    (case_terminal, 60),
    (case_live_bus, 60),
    (case_restart, 90),
    (case_silent, 60),
    (case_stopped, 60),
    (case_corrupt, 60),
    (case_ports, 90),
)


# ==== the run's set-up


def unpack_program(zip_path):
    """The zip unpacked in a folder whose name has a space, as on many users'
    machines, with the test firmware put into its folder; returns the
    program's folder."""
    parent = os.path.join(GUI, "unpacked", "my tools")
    os.makedirs(parent)
    if quiet(["cmake", "-E", "tar", "xf", zip_path], cwd=parent) != 0:
        abort("unpacking %s failed" % zip_path)
    exes = glob.glob(os.path.join(parent, "*", EXE_NAME))
    if not exes:
        abort("%s holds no %s" % (zip_path, EXE_NAME))
    app_dir = os.path.dirname(exes[0])
    firmware = os.path.join(app_dir, FIRMWARE_FOLDER)
    if not os.path.isfile(os.path.join(firmware, "README.txt")):
        abort("%s holds no %s/README.txt" % (zip_path, FIRMWARE_FOLDER))
    hex_file = os.path.join(firmware, FIRMWARE + ".hex")
    make_firmware = os.path.join(winetest.LINUX_BUILD, "sim", "make-demo-firmware")
    ok = quiet([make_firmware, hex_file]) == 0 \
        and quiet(["objcopy", "-I", "ihex", "-O", "binary", hex_file, IMAGE]) == 0
    if ok:
        with open(IMAGE, "rb") as f, open(SMALL_IMAGE, "wb") as small:
            small.write(f.read(16384))
        ok = quiet(["objcopy", "-I", "binary", "-O", "ihex", "--change-addresses", "0x8000",
                    SMALL_IMAGE, os.path.join(firmware, SMALL_FIRMWARE + ".hex")]) == 0
    if not ok:
        abort("making the test firmware failed")
    return app_dir


def make_template(log_folder):
    """The prefix every case copies: Arial's metric twin (Wine has no Arial,
    and a serif fallback would grow the window), the program's Qt variables
    (Wine passes QT_* on to Windows programs only from HKCU\\Environment),
    the ports. Returns an error text, or None."""
    env = winetest.wine_env(TEMPLATE)
    env.pop("DISPLAY", None)  # made without a window
    with open(PREFIXES, "a") as f:
        f.write(TEMPLATE + "\n")
    if not winetest.make_prefix(env, os.path.join(log_folder, "wineboot.log")):
        return "wineboot failed (log: %s/wineboot.log)" % log_folder
    ports = {n: port_link(n) for n in (SIM_PORT,) + BUSY_PORTS}
    other = [("HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements", [("Arial", "Liberation Sans")]),
             ("HKEY_CURRENT_USER\\Environment",
              [("QT_FORCE_STDERR_LOGGING", "1"), ("QT_LOGGING_RULES", "*.debug=false")])]
    if not winetest.register_ports(env, ports, os.path.join(log_folder, "template.reg"),
                                   os.path.join(log_folder, "reg.log"), other):
        return "registry set-up failed (log: %s/reg.log)" % log_folder
    return None


def end_all():
    """Ends whatever a run left: pty holders and every prefix's Wine session."""
    winetest.kill_pids(PIDS)
    if os.path.exists(PREFIXES):
        for prefix in sorted(set(open(PREFIXES).read().split("\n")) - {""}):
            winetest.wine_stop(winetest.wine_env(prefix))


def main():
    run_start = time.monotonic()
    winetest.exit_on_signals()
    for d in ("unpacked", "cases", "ports", "run", "template"):
        shutil.rmtree(os.path.join(GUI, d), ignore_errors=True)
    os.makedirs(BUSY)
    os.makedirs(RUN)
    build = template = None
    try:
        # The program's zip (built or brought up to date), the simulated node
        # and the template prefix, side by side: they need each other only
        # once the cases run.
        print("building the Windows program (scripts/build-windows.sh)", flush=True)
        build = subprocess.Popen(["bash", os.path.join(ROOT, "scripts", "build-windows.sh")],
                                 stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT, text=True)
        template_log = os.path.join(RUN, "template")
        os.makedirs(template_log)
        template = subprocess.Popen([sys.executable, __file__, "--template", template_log],
                                    stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
        linux_log = os.path.join(GUI, "linux-build.log")
        if not winetest.build_linux(["canopen-node-sim", "make-demo-firmware"], linux_log):
            abort("building canopen-node-sim failed (log: %s)" % linux_log)
        build_out = build.communicate()[0].rstrip("\n").split("\n")
        if build.returncode != 0:
            print("\n".join(build_out[-5:]))
            abort("scripts/build-windows.sh failed")
        zip_path = build_out[-1]
        if not os.path.isfile(zip_path):
            abort("scripts/build-windows.sh named no zip")
        app_dir = unpack_program(zip_path)
        problem = template.communicate()[0].strip()
        if template.returncode != 0:
            abort(problem or "making the Wine prefix failed")
        for n in BUSY_PORTS:
            point(port_link(n), BUSY)
        problem = find_places(app_dir)
        if problem:
            abort(problem)
        print("   (clicking at the window's places: %s)"
              % ", ".join("%s %d,%d" % (n, x, y) for n, (x, y) in sorted(PLACES.items())), flush=True)

        tally = winetest.Tally(os.path.join(RUN, "results"))
        for function, limit in CASES:
            run_case(function, limit, tally, app_dir)
        print("   (whole run: %d s)" % (time.monotonic() - run_start))
        return tally.finish()
    finally:
        for helper in (build, template):
            winetest.end_process(helper)
        end_all()


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--template":
        # The template, made in a process of its own beside the build.
        problem = make_template(sys.argv[2])
        if problem:
            print(problem)
        sys.exit(1 if problem else 0)
    sys.exit(main())
