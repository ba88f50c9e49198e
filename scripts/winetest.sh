# Sourced by the Wine test launchers (test-windows.sh, test-windows-gui.sh):
# a view of /dev without the machine's own serial ports. Wine's environment
# and what else the drivers share is tests/windows/winetest.py; a launcher
# that cannot start its driver ends with common.sh's checks_abort.

# host_serial_ports: the machine's serial devices that Wine would map to
# COM1, COM2, ... on its own (it takes every /dev/ttyS<k>, /dev/ttyUSB<k> and
# /dev/ttyACM<k> that exists, counting from 0).
host_serial_ports() {
    ls -d /dev/ttyS[0-9]* /dev/ttyUSB[0-9]* /dev/ttyACM[0-9]* 2>/dev/null
}

# hide_host_serial_ports WORKDIR: in a private mount namespace (unshare -m),
# puts a copy of /dev without those devices over /dev: every other entry is
# bound to the original, so terminals, ptys and shared memory work as before.
# WORKDIR is an empty folder to build the copy in. Returns non-zero on failure.
hide_host_serial_ports() {
    local new=$1 e name
    mount -t tmpfs -o mode=755 quorvex-dev "$new" || return 1
    for e in /dev/* /dev/.[!.]*; do
        [ -e "$e" ] || [ -L "$e" ] || continue
        name=${e#/dev/}
        case $name in ttyS[0-9]* | ttyUSB[0-9]* | ttyACM[0-9]*) continue ;; esac
        if [ "$name" = ptmx ]; then
            # New ptys come from the devpts mounted at pts/ beside it.
            ln -s pts/ptmx "$new/ptmx" || return 1
        elif [ -L "$e" ]; then
            cp -P "$e" "$new/" || return 1
        elif [ -d "$e" ]; then
            mkdir "$new/$name" && mount --rbind "$e" "$new/$name" || return 1
        else
            touch "$new/$name" && mount --bind "$e" "$new/$name" || return 1
        fi
    done
    mount --move "$new" /dev
}
