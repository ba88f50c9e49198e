#!/usr/bin/env python3
"""The Windows serial layer (port scan and serial line) under Wine, without Qt.

Run by scripts/test-windows.sh. Builds the console test serial_win_test.cpp
with the serial layer in a mingw cross build of the top level with
QRIO_SERIAL_ONLY (no Qt), and runs it under Wine against COM ports backed by
pseudo-terminals: a data port and a control port played by peer.py, a port
registered to a directory (cannot be opened), one registered to /dev/null
(opens, but is no serial line) and the simulated node's port. The data and
node ports are left as users leave ports (see ptyhold.py), never raw. The
test program prints one line per check and ends with "N passed, N failed";
the exit status is non-zero on any failure.

Build tree: $QRIO_WIN_BUILD, default build-win/ (the cross build in serial/,
the Wine prefix, logs in run/). The simulated node is $QRIO_NODE_SIM, default
build/sim/canopen-node-sim, built there.
"""

import os
import subprocess
import sys

import winetest
from winetest import ROOT, abort

# COM numbers: the data port above 9 and the control port below it, so that
# numeric and textual order differ.
DATA_PORT = 12
CONTROL_PORT = 3
BUSY_PORT = 7
NOTSERIAL_PORT = 9
SIM_PORT = 21
UNMAPPED_PORT = 77

BUILD = os.environ.get("QRIO_WIN_BUILD") or os.path.join(ROOT, "build-win")
RUN = os.path.join(BUILD, "run")
PORTS = os.path.join(BUILD, "ports")


def build_test_program():
    """The test program, cross-built by CMake from the serial layer's source
    list; returns its path."""
    cross = os.path.join(BUILD, "serial")
    log = os.path.join(RUN, "build.log")
    print("building serial_win_test.exe (log: %s)" % log, flush=True)
    with open(log, "w") as out:
        ok = (os.path.exists(os.path.join(cross, "CMakeCache.txt"))
              or subprocess.run(["cmake", "-S", ROOT, "-B", cross, "-DQRIO_SERIAL_ONLY=ON",
                                 "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(ROOT, "cmake", "mingw-w64-x86_64.cmake")],
                                stdout=out, stderr=out).returncode == 0)
        ok = ok and subprocess.run(["cmake", "--build", cross, "--target", "serial_win_test", "-j2"],
                                   stdout=out, stderr=out).returncode == 0
    if not ok:
        abort("mingw build failed (log: %s)" % log)
    return os.path.join(cross, "tests", "windows", "serial_win_test.exe")


def main():
    winetest.exit_on_signals()
    for d in (RUN, os.path.join(PORTS, "busy")):
        os.makedirs(d, exist_ok=True)
    exe = build_test_program()

    sim = os.environ.get("QRIO_NODE_SIM")
    if not sim:
        sim = winetest.NODE_SIM
        if not winetest.build_linux(["canopen-node-sim"], os.path.join(RUN, "sim-build.log")):
            print("canopen-node-sim could not be built (log: %s/sim-build.log)" % RUN)

    # Its own prefix in the build tree, headless, no stdin.
    env = winetest.wine_env(os.path.join(BUILD, "wineprefix"))
    for name in ("DISPLAY", "WAYLAND_DISPLAY"):
        env.pop(name, None)
    if not os.path.exists(os.path.join(env["WINEPREFIX"], "system.reg")):
        print("creating the Wine prefix")
        if not winetest.make_prefix(env, os.path.join(RUN, "wineboot.log")):
            abort("wineboot failed")
    # Registered ports point at fixed links, re-pointed at each run's ptys. A
    # directory fails to open as a port held by another program does.
    ports = {n: os.path.join(PORTS, "ttyCOM%d" % n) for n in (CONTROL_PORT, DATA_PORT, SIM_PORT)}
    ports[BUSY_PORT] = os.path.join(PORTS, "busy")
    ports[NOTSERIAL_PORT] = "/dev/null"
    if not winetest.register_ports(env, ports, os.path.join(RUN, "ports.reg"),
                                   os.path.join(RUN, "reg.log")):
        abort("registering the COM ports failed (see %s/reg.log)" % RUN)

    node = peer = None
    holders = os.path.join(RUN, "holders")
    try:
        # The far ends: the simulated node, then the peer holding every slave.
        sim_args, hold_args = [], []
        if os.access(sim, os.X_OK):
            node, slave = winetest.start_node(sim, RUN)
            if slave:
                link = ports[SIM_PORT]
                if os.path.lexists(link):
                    os.unlink(link)
                os.symlink(slave, link)
                sim_args, hold_args = ["--sim", str(SIM_PORT)], ["--hold", slave]
            else:
                print("canopen-node-sim did not report its port (see %s/sim.err)" % RUN)
        else:
            print("canopen-node-sim not available")

        ready = os.path.join(RUN, "ready")
        for f in (ready, holders):
            if os.path.exists(f):
                os.unlink(f)
        with open(os.path.join(RUN, "peer.err"), "w") as err:
            peer = subprocess.Popen([sys.executable, os.path.join(ROOT, "tests", "windows", "peer.py"),
                                     "--data", ports[DATA_PORT], "--control", ports[CONTROL_PORT]]
                                    + hold_args + ["--ready", ready, "--pids", holders],
                                    stdin=subprocess.DEVNULL, stderr=err)
        if not winetest.wait_for(lambda: os.path.exists(ready), peer):
            abort("the peer did not start: " + open(os.path.join(RUN, "peer.err")).read())

        # The run: one wineserver for all of it.
        subprocess.run(["wineserver", "-p"], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        args = ["--data", DATA_PORT, "--control", CONTROL_PORT, "--busy", BUSY_PORT,
                "--unmapped", UNMAPPED_PORT, "--notserial", NOTSERIAL_PORT]
        last = ""
        with open(os.path.join(RUN, "wine.err"), "w") as err, \
                open(os.path.join(RUN, "test.log"), "w") as log:
            test = subprocess.Popen(["timeout", "120", "wine", exe] + [str(a) for a in args] + sim_args,
                                    env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                    stderr=err, text=True)
            for line in test.stdout:
                print(line, end="", flush=True)
                log.write(line)
                last = line.strip() or last
            status = test.wait()
        if not winetest.SUMMARY_RE.match(last):
            abort("the test program ended early (status %d, see %s/wine.err)" % (status, RUN))
        return 0 if status == 0 else 1
    finally:
        if peer is not None:
            peer.terminate()
        winetest.kill_pids(holders)
        if node is not None:
            node.terminate()
        winetest.wine_stop(env)
        winetest.end_process(peer)
        winetest.end_process(node)


if __name__ == "__main__":
    sys.exit(main())
