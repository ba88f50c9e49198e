#!/usr/bin/env python3
"""Far end of the COM ports that the Windows test program opens under Wine.

Two pseudo-terminals: the data port, whose far end this program plays, and
the control port, on which the test program tells it what to do next (one
text command per line, each answered once done):

    echo 1 | echo 0     echo data bytes back (or not)              -> "ok\\n"
    send HEX            write these bytes to the data port now      -> "ok\\n"
    split HEX MS HEX    first piece now, second one MS ms later     -> "ok\\n"
                        (the answer follows the first piece)
    got                 the data bytes received since the last got: four hex
                        digits of count, then the bytes in hex
    stop 1 | stop 0     hold the data port's output off (as flow control
                        would) or let it go again               -> "ok\n"
    state S             leave the data port in line state S of ptyhold.py
                        (fresh, terminal), as another program would
                        before the test opens it                -> "ok\n"

Every slave (ours and any --hold one, e.g. the node simulator's) is held by a
helper from ptyhold.py, so that a 0x03 or 0x1C byte from this end cannot end
the Wine session. The data port and the --hold ones start as a fresh terminal
device is; the control port is the test's own wire and is raw, so that it
works whatever the serial code under test does to a line.

Usage: peer.py --data LINK --control LINK [--hold SLAVE]... --ready FILE --pids FILE
The links are (re)pointed at the slaves; FILE receives "ready" when the ports
can be opened, and the PIDs file the helpers' process ids.
"""

import argparse
import os
import select
import signal
import sys
import termios
import time

from ptyhold import set_state_of, start_holder
from winetest import point_link


def write_all(fd, data):
    while data:
        n = os.write(fd, data)
        data = data[n:]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--data", required=True)
    parser.add_argument("--control", required=True)
    parser.add_argument("--hold", action="append", default=[])
    parser.add_argument("--ready", required=True)
    parser.add_argument("--pids", required=True)
    args = parser.parse_args()

    def stop(*_):
        stop_holders()
        os._exit(0)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    try:
        serve(args)
    finally:
        stop_holders()


holders = []


def stop_holders():
    for pid in holders:
        try:
            os.kill(pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
    for pid in holders:
        try:
            os.waitpid(pid, 0)
        except ChildProcessError:
            pass
    holders.clear()


def serve(args):
    data_master, data_slave = os.openpty()
    control_master, control_slave = os.openpty()
    slaves = [os.ttyname(data_slave), os.ttyname(control_slave)] + args.hold
    for i, path in enumerate(slaves):
        holders.append(start_holder(path, "raw" if i == 1 else "fresh"))
    with open(args.pids, "w") as f:
        f.write(" ".join(str(p) for p in holders) + "\n")
    # The helpers keep the slaves open from here on.
    os.close(data_slave)
    os.close(control_slave)
    point_link(args.data, slaves[0])
    point_link(args.control, slaves[1])
    with open(args.ready + ".new", "w") as f:
        f.write("ready\n")
    os.replace(args.ready + ".new", args.ready)

    echo = False
    received = bytearray()
    command = bytearray()
    pending = []  # (due time, bytes) for the data port

    while True:
        timeout = None
        if pending:
            timeout = max(0.0, pending[0][0] - time.monotonic())
        readable, _, _ = select.select([data_master, control_master], [], [], timeout)
        now = time.monotonic()
        while pending and pending[0][0] <= now:
            write_all(data_master, pending.pop(0)[1])
        if data_master in readable:
            chunk = os.read(data_master, 4096)
            received += chunk
            if echo:
                write_all(data_master, chunk)
        if control_master in readable:
            command += os.read(control_master, 4096)
            while b"\n" in command:
                line, _, rest = bytes(command).partition(b"\n")
                command = bytearray(rest)
                words = line.decode("ascii", "replace").split()
                if not words:
                    continue
                if words[0] == "echo":
                    echo = words[1] == "1"
                    reply = b"ok\n"
                elif words[0] == "send":
                    write_all(data_master, bytes.fromhex(words[1]))
                    reply = b"ok\n"
                elif words[0] == "split":
                    write_all(data_master, bytes.fromhex(words[1]))
                    pending.append((time.monotonic() + int(words[2]) / 1000.0,
                                    bytes.fromhex(words[3])))
                    pending.sort(key=lambda p: p[0])
                    reply = b"ok\n"
                elif words[0] == "stop":
                    fd = os.open(slaves[0], os.O_RDWR | os.O_NOCTTY)
                    termios.tcflow(fd, termios.TCOOFF if words[1] == "1" else termios.TCOON)
                    os.close(fd)
                    reply = b"ok\n"
                elif words[0] == "state":
                    set_state_of(slaves[0], words[1])
                    reply = b"ok\n"
                elif words[0] == "got":
                    reply = b"%04x" % len(received) + bytes(received).hex().encode()
                    received.clear()
                else:
                    reply = b"?\n"
                write_all(control_master, reply)


if __name__ == "__main__":
    try:
        main()
    except Exception as e:  # report, then let the script see the failure
        print("peer: %s" % e, file=sys.stderr)
        sys.exit(1)
