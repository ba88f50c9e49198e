#!/usr/bin/env python3
"""Holds pseudo-terminal slaves for Wine, in the state users leave ports in.

The wineserver makes a terminal it opens its controlling terminal when it has
none, and a 0x03 or 0x1C byte on that line would then end the whole Wine
session. A holder opens the slave first, in a session of its own, so that the
slave becomes that session's controlling terminal instead; it ignores SIGINT,
SIGQUIT, SIGTSTP and SIGHUP (a fresh line turns bytes into those), and lives
until SIGTERM.

The holder also leaves the line in a field state, never in one made for the
program: the program under test must make the line byte-transparent itself.

    fresh     as a new terminal device is (canonical input, CR-to-LF, XON/XOFF
              on output, signals), with echo off so that bytes written
              before the program opens the port do not come back
    terminal  as a terminal program leaves it: raw, 115200 baud, XON/XOFF on
              in both directions
    raw       raw; only for the tests' own control wire, never a port under test

As a program: ptyhold.py [--state STATE] PIDFILE SLAVE... starts one holder
per slave (state fresh unless told), writes their process ids to PIDFILE
(one line, separated by spaces) once every slave is held, and returns; exit
status 1 if a slave cannot be held.
"""

import os
import signal
import sys
import termios
import tty

STATES = ("fresh", "terminal", "raw")


def fresh_attributes():
    """The settings of a terminal device nobody has configured: a new pty's."""
    master, slave = os.openpty()
    try:
        attrs = termios.tcgetattr(slave)
    finally:
        os.close(slave)
        os.close(master)
    attrs[3] &= ~termios.ECHO
    return attrs


def set_state(fd, state):
    """Puts the terminal fd into one of STATES."""
    if state == "fresh":
        termios.tcsetattr(fd, termios.TCSANOW, fresh_attributes())
        return
    tty.setraw(fd)
    if state == "terminal":
        attrs = termios.tcgetattr(fd)
        attrs[0] |= termios.IXON | termios.IXOFF
        attrs[4] = attrs[5] = termios.B115200
        termios.tcsetattr(fd, termios.TCSANOW, attrs)
    elif state != "raw":
        raise ValueError("unknown line state " + state)


def set_state_of(slave_path, state):
    """set_state on a slave by path, without making it a controlling terminal;
    output stopped by an earlier XOFF goes on, as on a port just opened."""
    fd = os.open(slave_path, os.O_RDWR | os.O_NOCTTY)
    try:
        set_state(fd, state)
        termios.tcflow(fd, termios.TCOON)
    finally:
        os.close(fd)


def start_holder(slave_path, state="fresh"):
    """Forks a helper holding slave_path in `state`; returns its pid once it
    holds it. Raises RuntimeError when the slave cannot be opened."""
    ready_r, ready_w = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(ready_r)
            os.setsid()
            for s in (signal.SIGINT, signal.SIGQUIT, signal.SIGTSTP, signal.SIGHUP):
                signal.signal(s, signal.SIG_IGN)
            signal.signal(signal.SIGTERM, signal.SIG_DFL)
            fd = os.open(slave_path, os.O_RDWR)  # no O_NOCTTY on purpose
            set_state(fd, state)
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
    args = sys.argv[1:]
    state = "fresh"
    if len(args) >= 2 and args[0] == "--state":
        state = args[1]
        args = args[2:]
    if len(args) < 2 or state not in STATES:
        print("usage: ptyhold.py [--state fresh|terminal|raw] PIDFILE SLAVE...", file=sys.stderr)
        return 2
    pids = []
    try:
        for path in args[1:]:
            pids.append(start_holder(path, state))
    except (OSError, RuntimeError) as e:
        for pid in pids:
            os.kill(pid, signal.SIGTERM)
        print("ptyhold: %s" % e, file=sys.stderr)
        return 1
    tmp = args[0] + ".new"
    with open(tmp, "w") as f:
        f.write(" ".join(str(p) for p in pids) + "\n")
    os.replace(tmp, args[0])
    return 0


if __name__ == "__main__":
    sys.exit(main())
