"""How the Windows GUI test (guitest.py) works the program: a case's Wine
prefix, node, program window and message boxes, its checks, and the case run
in a process of its own with a time limit. The build tree's layout and the
window's facts the cases click by are here too.
"""

import glob
import os
import re
import shutil
import signal
import subprocess
import sys
import time
import traceback
import xml.etree.ElementTree as ET

import guicheck
import winetest
from ptyhold import start_holder
from winetest import ROOT, point_link as point

NAMES = winetest.build_names()
COMPANY = NAMES["QRIO_COMPANY"]
TITLE = NAMES["QRIO_APP_NAME"]
SETTINGS_KEY = "Software\\%s\\%s\\Settings" % (COMPANY, TITLE)
EXE_NAME = NAMES["QRIO_EXE_NAME"] + ".exe"

FORM = os.path.join(ROOT, "app", "quorvexremoteiofirmwareupdater.ui")


def design_size():
    """The window's size as the form sets it ("WIDTHxHEIGHT"): the main
    window's own geometry, the one place the form gives in pixels."""
    rect = ET.parse(FORM).getroot().find("widget/property[@name='geometry']/rect")
    return "%sx%s" % (rect.findtext("width"), rect.findtext("height"))


DESIGN_SIZE = design_size()

# Where to click, by the form's widget name (button_update, comboBox): each
# widget's centre in the window, filled in by find_places() before the cases
# run. The form puts its widgets in layouts, so it holds no coordinates for
# them; where they land depends on the fonts and the style the program gets
# under Wine. As the benchmarks ask the window class itself on their display
# (tests/common/toolrun.cpp: updateButtonCentre), the places are asked of the
# program's own window, cross-built with the program (form_places.cpp) and
# started under Wine on this display with the cases' fonts and ports.
PLACES = {}

# The message boxes the program can end an update with, by title.
BOX_RE = ("^(Burning Firmware Successful|Burning Firmware Failed|Read timeout"
          "|Open Serial COM[0-9]+ failed|Load hex file error|Please choose hex file)$")

# The simulated node's COM port.
SIM_PORT = 21

GUI = os.environ.get("QRIO_WIN_GUI_BUILD") or os.path.join(ROOT, "build-win-gui")
# The program's cross build, as scripts/build-windows.sh leaves it.
APP_BUILD = os.environ.get("QRIO_WIN_APP_BUILD") or os.path.join(ROOT, "build-win-app")
RUN = os.path.join(GUI, "run")
PORTS = os.path.join(GUI, "ports")  # the links the registered COM ports point at
# A directory: a port registered to it fails to open as one another program holds.
BUSY = os.path.join(PORTS, "busy")
TEMPLATE = os.path.join(GUI, "template")  # the prefix every case copies
PIDS = os.path.join(RUN, "pids")  # a case's processes outside its process group
PREFIXES = os.path.join(RUN, "prefixes")  # every prefix used, to end its session


def port_link(n):
    """The link COM<n> is registered to."""
    return os.path.join(PORTS, "ttyCOM%d" % n)


def quiet(cmd, **kw):
    """Runs a command with no input and its output dropped; its exit status."""
    return subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, **kw).returncode


def output(cmd, timeout=None):
    """A command's standard output ("" when it fails or times out)."""
    try:
        return subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, text=True, timeout=timeout).stdout
    except subprocess.TimeoutExpired:
        return ""


class SetupFailed(Exception):
    """A case could not get as far as its checks."""


class Box:
    """A message box seen: its window, title, when it was seen (monotonic
    seconds) and its text as Ctrl+C copies it ("" when not copied)."""

    def __init__(self, window, title, seen):
        self.window, self.title, self.seen, self.text = window, title, seen, ""

    def says(self, line):
        """The copied text has `line` on a line of its own."""
        return line in self.text.split("\n")

    def lines(self):
        """The copied text on one line, for a check's name."""
        return " / ".join(l for l in self.text.split("\n") if l.strip(" -"))


class Case:
    """One case's prefix, node, program and checks, in its own folder."""

    def __init__(self, name, tally, app_dir):
        self.name, self.tally, self.app_dir = name, tally, app_dir
        self.dir = os.path.join(GUI, "cases", name)
        self.node = None
        self.main = None
        self.env = None
        self.click_time = None

    # ---- checks

    def check(self, ok, name):
        self.tally.check(ok, "%s: %s" % (self.name, name))
        if not ok:
            self.shot("fail-" + re.sub("[^a-z0-9]", "-", name)[:40])
        return ok

    def fail(self, name):
        return self.check(False, name)

    def shot(self, name):
        quiet(["import", "-window", "root", os.path.join(self.dir, name + ".png")])

    # ---- set-up

    def new_prefix(self, from_case=None):
        """A fresh copy of the template (or of another case's prefix), its Wine
        session ready and the node's port pointed nowhere."""
        source = os.path.join(GUI, "cases", from_case, "prefix") if from_case else TEMPLATE
        self.env = copy_prefix(source, os.path.join(self.dir, "prefix"))

    def start_node(self, *args, line="fresh"):
        """The simulated node on COM<SIM_PORT>, its flash erased, its slave held
        in line state `line` of ptyhold.py; its log and flash in the case folder."""
        self.node, slave = winetest.start_node(
            winetest.NODE_SIM, self.dir,
            ["--flash", os.path.join(self.dir, "flash.bin"), "--log", os.path.join(self.dir, "sim.log")]
            + list(args))
        if not slave:
            raise SetupFailed("canopen-node-sim did not start: "
                              + open(os.path.join(self.dir, "sim.err")).read())
        try:
            holder = start_holder(slave, line)
        except (OSError, RuntimeError) as e:
            raise SetupFailed("the node's pty cannot be held: %s" % e)
        with open(PIDS, "a") as f:
            f.write("%d\n" % holder)
        point(port_link(SIM_PORT), slave)

    def stop_node(self):
        """Ends the node (its flash file is complete afterwards)."""
        winetest.end_process(self.node)

    def preset(self, **values):
        """The program's settings, as a user's earlier run left them."""
        reg = os.path.join(self.dir, "preset.reg")
        winetest.write_reg(reg, [("HKEY_CURRENT_USER\\" + SETTINGS_KEY, sorted(values.items()))])
        winetest.reg_import(self.env, reg, os.path.join(self.dir, "reg.log"))

    def start_program(self):
        """The program from the unpacked zip; waits for its window."""
        with open(os.path.join(self.dir, "program.out"), "a") as out, \
                open(os.path.join(self.dir, "program.err"), "a") as err:
            # Ended with its Wine session.
            subprocess.Popen(["wine", os.path.join(self.app_dir, EXE_NAME)], cwd=self.app_dir,
                             env=self.env, stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        self.main = find_window("^" + re.escape(TITLE) + "$", 30)
        if not self.main:
            raise SetupFailed("no window titled " + TITLE)
        time.sleep(0.5)  # the first paint

    # ---- the window

    def click(self, xy):
        """A left click at xy of the main window."""
        quiet(["xdotool", "mousemove", "--window", self.main, str(xy[0]), str(xy[1]), "click", "1"])

    def update(self):
        self.click(PLACES["button_update"])
        self.click_time = time.monotonic()

    def wait_box(self, seconds, copy=True):
        """Waits for a message box; None when none shows in time."""
        window = find_window(BOX_RE, seconds)
        if not window:
            return None
        box = Box(window, window_name(window), time.monotonic())
        time.sleep(0.3)
        self.shot("box-" + re.sub("[^A-Za-z0-9]", "-", box.title) + "-")
        if copy:
            # The clipboard has the exact text (Wine's rendering of
            # Liberation Sans drops the capital I).
            quiet(["xdotool", "windowactivate", "--sync", window])
            quiet(["xdotool", "key", "ctrl+c"])
            for _ in range(10):
                time.sleep(0.2)
                box.text = output(["xclip", "-o", "-selection", "clipboard"], timeout=5).replace("\r", "")
                if box.title in box.text:
                    break
        return box

    def update_and_wait(self, seconds, copy=True):
        """Update, then the box it ends in; a failed check when none shows."""
        self.update()
        box = self.wait_box(seconds, copy)
        if not box:
            self.fail("no message box within %d s of Update" % seconds)
        return box

    def close_box(self, box):
        """Presses the box's default button; True once it is gone (10 s at most)."""
        quiet(["xdotool", "key", "Return"])
        end = time.monotonic() + 10
        while quiet(["xdotool", "getwindowname", box.window]) == 0 \
                and box.window in output(["xdotool", "search", "--onlyvisible", "--name", BOX_RE]).split():
            if time.monotonic() >= end:
                return False
            time.sleep(0.1)
        return True

    def flash_differs(self, image):
        """What differs between the node's flash and the image, in brackets
        for a check's name ("" when nothing does)."""
        problems = guicheck.flash_problems(os.path.join(self.dir, "flash.bin"), image)
        return (" (%s)" % " ".join(problems)) if problems else ""


def copy_prefix(source, prefix):
    """A copy of the Wine prefix `source` at `prefix`, its Wine session ready
    and the node's port pointed nowhere; returns its environment. Raises
    SetupFailed when it cannot be copied."""
    os.makedirs(prefix)
    # The large, never written system folder is shared by hard links.
    if quiet(["cp", "-al", os.path.join(source, "drive_c"), prefix]) != 0 or quiet(
            ["cp", "-a"] + glob.glob(os.path.join(source, "*.reg"))
            + [os.path.join(source, ".update-timestamp"), os.path.join(source, "dosdevices"), prefix]) != 0:
        raise SetupFailed("copying the Wine prefix failed")
    env = winetest.wine_env(prefix)
    with open(PREFIXES, "a") as f:
        f.write(prefix + "\n")
    point(port_link(SIM_PORT), BUSY)
    quiet(["wineserver", "-p"], env=env)
    return env


def find_places(app_dir):
    """Fills PLACES from the program's window: form_places built in the
    program's cross build, run beside the program (its firmware folder) in a
    copy of the template prefix on this display. Returns an error text, or
    None."""
    log = os.path.join(RUN, "form-places.log")
    with open(log, "w") as out:
        if subprocess.run(["cmake", "--build", APP_BUILD, "--target", "form_places", "-j2"],
                          stdin=subprocess.DEVNULL, stdout=out, stderr=out).returncode != 0:
            return "building form_places failed (log: %s)" % log
    probe = os.path.join(app_dir, "form_places.exe")
    shutil.copy(os.path.join(APP_BUILD, "tests", "windows", "form_places.exe"), probe)
    places = os.path.join(RUN, "places.txt")
    try:
        env = copy_prefix(TEMPLATE, os.path.join(RUN, "places-prefix"))
    except SetupFailed as e:
        return str(e)
    try:
        with open(log, "a") as out:
            subprocess.run(["wine", probe, winetest.wine_path(places)], cwd=app_dir, env=env,
                           stdin=subprocess.DEVNULL, stdout=out, stderr=out, timeout=60)
    except subprocess.TimeoutExpired:
        pass
    finally:
        winetest.wine_stop(env)
        os.remove(probe)
    if os.path.exists(places):
        for line in open(places):
            name, x, y = line.split()
            PLACES[name] = (int(x), int(y))
    if not {"button_update", "comboBox"} <= set(PLACES):
        return "the window did not say where its widgets are (log: %s)" % log
    return None


def find_window(regex, seconds):
    """The id of a shown window whose title matches, waiting at most
    `seconds`; None when none shows."""
    end = time.monotonic() + seconds
    while True:
        found = output(["xdotool", "search", "--onlyvisible", "--name", regex]).split()
        if found:
            return found[0]
        if time.monotonic() >= end:
            return None
        time.sleep(0.1)


def window_name(window):
    """A window's title."""
    return output(["xdotool", "getwindowname", window]).rstrip("\n")


def run_case(function, limit, tally, app_dir):
    """Runs a case in a process group of its own; past `limit` seconds it is
    ended and counted failed. Its Wine session and node end with it."""
    name = function.__name__[len("case_"):]
    start = time.monotonic()
    print("-- " + name, flush=True)
    failed_before = tally.counts()[1]
    case = Case(name, tally, app_dir)
    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            os.setpgid(0, 0)
            signal.signal(signal.SIGTERM, signal.SIG_DFL)
            function(case)
            status = 0
        except SetupFailed as e:
            print(e)
        except BaseException:
            traceback.print_exc()
        finally:
            if case.node is not None:
                case.node.terminate()
            sys.stdout.flush()
            os._exit(status)
    try:
        os.setpgid(pid, pid)  # at once, whichever of the two gets there first
    except OSError:
        pass
    status = None
    while time.monotonic() < start + limit:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        time.sleep(0.2)
    else:
        os.killpg(pid, signal.SIGTERM)
        os.waitpid(pid, 0)
        case.fail("did not finish within %d s (see %s)" % (limit, case.dir))
    # A case that stopped before any of its checks failed in its set-up.
    if status and tally.counts()[1] == failed_before:
        os.makedirs(case.dir, exist_ok=True)
        case.fail("set-up failed (see %s)" % case.dir)
    # Whatever the case left: its node's pty holder, its Wine session.
    winetest.kill_pids(PIDS)
    winetest.wine_stop(winetest.wine_env(os.path.join(case.dir, "prefix")))
    print("   (%s: %d s)" % (name, time.monotonic() - start), flush=True)


