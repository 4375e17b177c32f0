#!/usr/bin/env python3
"""Round trips of 8 bytes through a local serial port, for tools/bench: the
time a program waits for a loopback device's echo when it writes to a
pseudo-terminal that a relay (kestrin --pty, socat PTY) connects to the
bridge. Plain system calls, so that the program adds as little as it can.

    tools/bench_local_port.py PATH [ROUND_TRIPS]

Prints "echo8_ms_median", "echo8_ms_p99" and "echo8_ms_max" lines, as
orvo_bench does.
"""
import os
import select
import sys
import termios
import tty

from echo_trips import measure


def main():
    path = sys.argv[1]
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 1000
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
    tty.setraw(fd)
    attributes = termios.tcgetattr(fd)
    attributes[4] = attributes[5] = termios.B115200
    termios.tcsetattr(fd, termios.TCSANOW, attributes)
    termios.tcflush(fd, termios.TCIOFLUSH)
    poller = select.poll()
    poller.register(fd, select.POLLIN)

    def exchange(sent):
        os.write(fd, sent)
        back = b""
        while len(back) < len(sent):
            if not poller.poll(5000):
                sys.exit("bench_local_port: no echo within 5 s")
            back += os.read(fd, len(sent) - len(back))
        return back

    measure("bench_local_port", exchange, count)
    os.close(fd)


if __name__ == "__main__":
    main()
