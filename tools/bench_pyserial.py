#!/usr/bin/env python3
"""Round trips of 8 bytes through pySerial, for tools/bench: the time a
program that uses pySerial waits for a loopback device's echo through the
bridge (rfc2217:// or socket://).

    tools/bench_pyserial.py URL [ROUND_TRIPS]

Prints "echo8_ms_median", "echo8_ms_p99" and "echo8_ms_max" lines, as
orvo_bench does.
"""
import sys

import serial

from echo_trips import measure


def main():
    url = sys.argv[1]
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 1000
    port = serial.serial_for_url(url, timeout=5)

    def exchange(sent):
        port.write(sent)
        return port.read(len(sent))

    measure("bench_pyserial", exchange, count)
    port.close()


if __name__ == "__main__":
    main()
