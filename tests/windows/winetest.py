"""What the Wine test drivers (serialtest.py, guitest.py) share: the tally of
checks and its last line, Wine's environment, the COM port registration, and
the simulated node built, started and waited for.

Nothing here starts a process that it does not also say how to end.
"""

import os
import re
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
LINUX_BUILD = os.path.join(ROOT, "build")
NODE_SIM = os.path.join(LINUX_BUILD, "sim", "canopen-node-sim")


def summary(passed, failed):
    """The last line of every Wine test."""
    return "%d passed, %d failed" % (passed, failed)


SUMMARY_RE = re.compile(r"^[0-9]+ passed, [0-9]+ failed$")


def abort(message):
    """Ends a run whose set-up failed: the message, then one failure. Does not return."""
    print(message)
    print(summary(0, 1), flush=True)
    sys.exit(1)


class Tally:
    """Counts checks. Each is printed as "PASS  <name>" or "FAIL  <name>" and
    kept as a line of the file at `path`, so that checks made in a forked
    process count too."""

    def __init__(self, path):
        self.path = path
        open(path, "w").close()

    def check(self, ok, name):
        """Records one check; returns ok."""
        print(("PASS  " if ok else "FAIL  ") + name, flush=True)
        with open(self.path, "a") as f:
            f.write("pass\n" if ok else "fail\n")
        return ok

    def counts(self):
        """(passed, failed) so far."""
        lines = open(self.path).read().split()
        return lines.count("pass"), lines.count("fail")

    def finish(self):
        """Prints the summary; returns the exit status (0: checks ran, none failed)."""
        passed, failed = self.counts()
        print(summary(passed, failed), flush=True)
        return 0 if failed == 0 and passed > 0 else 1


def exit_on_signals():
    """SIGTERM, SIGINT and SIGHUP end the run through its clean-up (finally
    blocks) instead of at once."""
    def leave(signum, _frame):
        sys.exit(128 + signum)
    for s in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(s, leave)


def wait_for(condition, process=None, seconds=5.0):
    """Polls condition() every 50 ms until it is true, for `seconds` at most;
    gives up at once when `process` (a Popen that should make it true) has
    ended. Returns condition()'s last value."""
    end = time.monotonic() + seconds
    while True:
        value = condition()
        if value or time.monotonic() >= end:
            return value
        if process is not None and process.poll() is not None:
            return condition()
        time.sleep(0.05)



def point_link(link, target):
    """Points a link (a Wine COM port's target) at target, in one step: a
    program opening the port meanwhile finds the old target or the new one."""
    tmp = link + ".new"
    if os.path.lexists(tmp):
        os.unlink(tmp)
    os.symlink(target, tmp)
    os.replace(tmp, link)


# ---- Wine


def wine_env(prefix, **extra):
    """The environment of a quiet Wine in `prefix`, without Mono and Gecko."""
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    env.update(extra)
    return env


def wine_path(path):
    """A Linux path as Wine's Z: drive names it."""
    return "Z:" + path.replace("/", "\\")


def wine_stop(env):
    """Ends every process of env's Wine session and waits until it has."""
    for flag in ("-k", "-w"):
        subprocess.run(["wineserver", flag], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def write_reg(path, sections):
    """A REGEDIT4 file of `sections`: (key, [(name, value)...]) pairs, string
    values, with the line ends regedit reads."""
    def quote(text):
        return text.replace("\\", "\\\\").replace('"', '\\"')
    lines = ["REGEDIT4", ""]
    for key, values in sections:
        lines.append("[%s]" % key)
        lines += ['"%s"="%s"' % (quote(n), quote(v)) for n, v in values]
        lines.append("")
    with open(path, "w", newline="") as f:
        f.write("\r\n".join(lines) + "\r\n")


def reg_import(env, path, log):
    """`wine reg import` of a REGEDIT4 file; True on success."""
    with open(log, "a") as out:
        return subprocess.run(["wine", "reg", "import", wine_path(path)], env=env,
                              stdin=subprocess.DEVNULL, stdout=out, stderr=out).returncode == 0


def make_prefix(env, log):
    """Creates env's Wine prefix when it has none yet; True on success."""
    if os.path.exists(os.path.join(env["WINEPREFIX"], "system.reg")):
        return True
    env = dict(env)
    env.pop("DISPLAY", None)
    with open(log, "w") as out:
        ok = subprocess.run(["wineboot", "--init"], env=env, stdin=subprocess.DEVNULL,
                            stdout=out, stderr=out).returncode == 0
    wine_stop(env)
    return ok


PORTS_KEY = "HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports"


def register_ports(env, ports, reg_path, log, other_sections=()):
    """Registers COM ports in env's prefix: `ports` maps a COM number to the
    Linux path behind it. `other_sections` (as for write_reg) go into the same
    import. The wineserver reads the Ports key when it starts, so the session
    is ended before and after; nothing is imported when the prefix already
    holds exactly this. True on success."""
    write_reg(reg_path, list(other_sections)
              + [(PORTS_KEY, [("COM%d" % n, p) for n, p in sorted(ports.items())])])
    done = os.path.join(env["WINEPREFIX"], "qrio-registered.reg")
    new = open(reg_path, "rb").read()
    if os.path.exists(done) and open(done, "rb").read() == new:
        return True
    wine_stop(env)
    ok = reg_import(env, reg_path, log)
    wine_stop(env)
    if ok:
        with open(done, "wb") as f:
            f.write(new)
    return ok


# ---- the simulated node, a Linux program


def build_linux(targets, log):
    """Builds Linux targets of the repository (the simulated node, the demo
    firmware maker) in build/, configuring it first when it never was.
    True on success; the output goes to `log`."""
    with open(log, "w") as out:
        if not os.path.exists(os.path.join(LINUX_BUILD, "CMakeCache.txt")):
            if subprocess.run(["cmake", "-S", ROOT, "-B", LINUX_BUILD],
                              stdout=out, stderr=out).returncode != 0:
                return False
        return subprocess.run(["cmake", "--build", LINUX_BUILD, "-j%d" % (os.cpu_count() or 2),
                               "--target"] + list(targets), stdout=out, stderr=out).returncode == 0


def node_slave(out_path):
    """The pty slave that canopen-node-sim reported on its standard output
    (saved at out_path), or None while it has not."""
    try:
        for line in open(out_path):
            m = re.match(r"^COM[0-9]* (/dev/\S+)$", line.rstrip("\n"))
            if m:
                return m.group(1)
    except FileNotFoundError:
        pass
    return None


def start_node(sim, folder, args=()):
    """Starts canopen-node-sim with `args`, registering itself in
    folder/sim-dosdevices; its output goes to folder/sim.out and sim.err.
    Waits up to 5 s for it to report its pty; returns (Popen, slave path), the
    slave None when it did not report (the process is then still to be ended)."""
    out_path = os.path.join(folder, "sim.out")
    with open(out_path, "w") as out, open(os.path.join(folder, "sim.err"), "w") as err:
        proc = subprocess.Popen([sim, "--dosdevices", os.path.join(folder, "sim-dosdevices")]
                                + list(args), stdin=subprocess.DEVNULL, stdout=out, stderr=err)
    return proc, wait_for(lambda: node_slave(out_path), proc)


def end_process(proc):
    """SIGTERM to a Popen and waits for it (a node's flash file is complete
    afterwards)."""
    if proc is not None and proc.poll() is None:
        proc.terminate()
    if proc is not None:
        proc.wait()


def kill_pids(path):
    """SIGTERM to the process ids listed in a file (separated by white space),
    then empties it."""
    try:
        pids = open(path).read().split()
    except FileNotFoundError:
        return
    for pid in pids:
        try:
            os.kill(int(pid), signal.SIGTERM)
        except (ProcessLookupError, ValueError):
            pass
    open(path, "w").close()


def build_names():
    """The names the build gives the product (cmake/names.cmake), by variable:
    QRIO_FIRMWARE_FOLDER, QRIO_EXE_NAME and the others."""
    out = subprocess.run(["cmake", "-P", os.path.join(ROOT, "cmake", "names.cmake")],
                         capture_output=True, text=True, check=True).stdout
    return dict(re.findall(r"^(\w+)='(.*)'$", out, re.M))
