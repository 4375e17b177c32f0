#!/usr/bin/env python3
"""Round trips of 8 bytes through pySerial, for tools/bench: the time a
program that uses pySerial waits for a loopback device's echo through the
bridge (rfc2217:// or socket://).

    tools/bench_pyserial.py URL [ROUND_TRIPS]

Prints "echo8_ms_median", "echo8_ms_p99" and "echo8_ms_max" lines, as
orvo_bench does.
"""
import sys
import time

import serial


def main():
    url = sys.argv[1]
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 1000
    port = serial.serial_for_url(url, timeout=5)
    sent = b"orvo\x11\x13\xff\n"
    trips = []
    for i in range(-20, count):  # the first ones warm the path
        t0 = time.perf_counter()
        port.write(sent)
        back = port.read(len(sent))
        if back != sent:
            sys.exit("bench_pyserial: the echo differs from what was sent: %r" % back)
        if i >= 0:
            trips.append((time.perf_counter() - t0) * 1000.0)
    port.close()
    trips.sort()

    def rank(share):
        return trips[max(1, min(len(trips), int(share * len(trips) + 0.999999))) - 1]

    print("echo8_ms_median %.3f" % rank(0.5))
    print("echo8_ms_p99 %.3f" % rank(0.99))
    print("echo8_ms_max %.3f" % trips[-1])


if __name__ == "__main__":
    main()
