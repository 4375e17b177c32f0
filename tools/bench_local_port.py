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
import time
import tty


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
    sent = b"orvo\x11\x13\xff\n"
    trips = []
    for i in range(-20, count):  # the first ones warm the path
        t0 = time.perf_counter()
        os.write(fd, sent)
        back = b""
        while len(back) < len(sent):
            if not poller.poll(5000):
                sys.exit("bench_local_port: no echo within 5 s")
            back += os.read(fd, len(sent) - len(back))
        if back != sent:
            sys.exit("bench_local_port: the echo differs from what was sent: %r" % back)
        if i >= 0:
            trips.append((time.perf_counter() - t0) * 1000.0)
    os.close(fd)
    trips.sort()

    def rank(share):
        return trips[max(1, min(len(trips), int(share * len(trips) + 0.999999))) - 1]

    print("echo8_ms_median %.3f" % rank(0.5))
    print("echo8_ms_p99 %.3f" % rank(0.99))
    print("echo8_ms_max %.3f" % trips[-1])


if __name__ == "__main__":
    main()
