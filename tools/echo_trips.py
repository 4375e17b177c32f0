"""The 8-byte echo round trip that tools/bench_pyserial.py and
tools/bench_local_port.py time, each over its own kind of port, with the
figures printed as orvo_bench prints its own ("echo8_ms_median",
"echo8_ms_p99", "echo8_ms_max").
"""
import sys
import time

SENT = b"orvo\x11\x13\xff\n"  # flow-control characters and a high byte among them


def measure(name, exchange, count):
    """Times count round trips; exchange(SENT) sends the bytes and returns
    what came back. The first 20 warm the path and are not counted."""
    trips = []
    for i in range(-20, count):
        t0 = time.perf_counter()
        back = exchange(SENT)
        if back != SENT:
            sys.exit("%s: the echo differs from what was sent: %r" % (name, back))
        if i >= 0:
            trips.append((time.perf_counter() - t0) * 1000.0)
    trips.sort()

    def rank(share):
        return trips[max(1, min(len(trips), int(share * len(trips) + 0.999999))) - 1]

    print("echo8_ms_median %.3f" % rank(0.5))
    print("echo8_ms_p99 %.3f" % rank(0.99))
    print("echo8_ms_max %.3f" % trips[-1])
