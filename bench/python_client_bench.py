#!/usr/bin/env python3
"""The Python client's costs, with percentiles: decoding a frame (every field by name), building an
autopilot block with its check value, and, with an add-on running, fetching frames flat out.

    PYTHONPATH=clients/python python3 bench/python_client_bench.py [--fetch SECONDS]
"""

import argparse
import os
import statistics
import sys
import time

import zelm


def percentiles(samples_us):
    samples_us = sorted(samples_us)

    def at(p):
        return samples_us[min(len(samples_us) - 1, int(p / 100.0 * len(samples_us)))]

    return "p50 %7.1f us  p90 %7.1f us  p99 %7.1f us  max %7.1f us  (n=%d)" % (
        at(50), at(90), at(99), samples_us[-1], len(samples_us))


def timed(call, count):
    samples = []
    for _ in range(count):
        start = time.perf_counter()
        call()
        samples.append((time.perf_counter() - start) * 1e6)
    return samples


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=5000)
    parser.add_argument("--fetch", type=float, default=0.0,
                        help="seconds of fetching frames from the add-on (0: none)")
    args = parser.parse_args()

    raw = bytearray(os.urandom(zelm.LAYOUT["frame"]["size"]))
    raw[0:7] = b"ZELM30\0"
    raw = bytes(raw)
    print("decode a frame       ", percentiles(timed(lambda: zelm.Frame(raw), args.count)))
    print("build an mcp block   ", percentiles(timed(
        lambda: zelm.build_mcp(ap_master=True, heading=270, altitude_reference=12000),
        args.count)))

    if args.fetch > 0:
        with zelm.Client(timeout=10) as client:
            samples, new, previous = [], 0, None
            end = time.monotonic() + args.fetch
            while time.monotonic() < end:
                start = time.perf_counter()
                frame = client.frame()
                samples.append((time.perf_counter() - start) * 1e6)
                if frame != previous:
                    new, previous = new + 1, frame
        print("fetch a frame        ", percentiles(samples))
        print("replies %.1f/s, new frames %.1f/s, mean %.1f us" % (
            len(samples) / args.fetch, new / args.fetch, statistics.mean(samples)))


if __name__ == "__main__":
    sys.exit(main())
