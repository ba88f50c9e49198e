#!/usr/bin/env python3
"""Holds pseudo-terminal slaves for Wine.

The wineserver makes a terminal it opens its controlling terminal when it has
none, and a 0x03 or 0x1C byte on that line would then end the whole Wine
session. A holder opens the slave first, in a session of its own, so that the
slave becomes that session's controlling terminal instead; it puts the line
into raw mode (otherwise reads wait for a newline and bytes are echoed and
translated), ignores SIGINT, SIGQUIT and SIGHUP, and lives until SIGTERM.

As a program: ptyhold.py PIDFILE SLAVE... starts one holder per slave, writes
their process ids to PIDFILE (one line, separated by spaces) once every slave
is held, and returns; exit status 1 if a slave cannot be held.
"""

import os
import signal
import sys
import tty


def start_holder(slave_path):
    """Forks a helper holding slave_path; returns its pid once it holds it.
    Raises RuntimeError when the slave cannot be opened."""
    ready_r, ready_w = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(ready_r)
            os.setsid()
            for s in (signal.SIGINT, signal.SIGQUIT, signal.SIGHUP):
                signal.signal(s, signal.SIG_IGN)
            signal.signal(signal.SIGTERM, signal.SIG_DFL)
            fd = os.open(slave_path, os.O_RDWR)  # no O_NOCTTY on purpose
            tty.setraw(fd)
            os.write(ready_w, b"1")
            os.close(ready_w)
            while True:
                signal.pause()
        finally:
            os._exit(1)
    os.close(ready_w)
    ok = os.read(ready_r, 1) == b"1"
    os.close(ready_r)
    if not ok:
        os.waitpid(pid, 0)
        raise RuntimeError("could not hold " + slave_path)
    return pid


def main():
    if len(sys.argv) < 3:
        print("usage: ptyhold.py PIDFILE SLAVE...", file=sys.stderr)
        return 2
    pids = []
    try:
        for path in sys.argv[2:]:
            pids.append(start_holder(path))
    except (OSError, RuntimeError) as e:
        for pid in pids:
            os.kill(pid, signal.SIGTERM)
        print("ptyhold: %s" % e, file=sys.stderr)
        return 1
    tmp = sys.argv[1] + ".new"
    with open(tmp, "w") as f:
        f.write(" ".join(str(p) for p in pids) + "\n")
    os.replace(tmp, sys.argv[1])
    return 0


if __name__ == "__main__":
    sys.exit(main())
