#!/usr/bin/python3
"""What Python adds to a colour update: ``client.set_colors`` with 100 LEDs
against the bare C call ``VelmoraSetLedsColors`` on a prepared array (made
through ctypes, so the baseline keeps only ctypes' own call cost), both
against the same lumhost process.

Blocks of the two kinds alternate and the medians of the per-call times are
compared, so the ratio holds up on a machine shared with other work. Only the
ratio (and the difference) of one run mean anything.

    set_colors_bench.py [--rounds N] [--block N] [--lumhost PATH]

Run it against the release build (build/linux): the sanitized builds time
the sanitizers. LUMSDK_LIBRARY chooses the library as for the package.
"""

import argparse
import os
import statistics
import subprocess
import sys
import time
import uuid
from pathlib import Path

PYTHON_DIR = Path(__file__).resolve().parents[1]
REPOSITORY = PYTHON_DIR.parent
sys.path.insert(0, str(PYTHON_DIR))
LEDS = 100


def start_host(path):
    base = f"lumsdk-bench-{os.getpid()}-{uuid.uuid4().hex[:8]}"
    os.environ["LUMSDK_PIPE_BASE"] = base  # before the library's first handshake
    host = subprocess.Popen([path, "--no-view"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True)
    for line in host.stdout:
        if "lumhost: serving" in line:
            return host
    raise SystemExit("lumhost did not start")


def time_block(call, block):
    times = []
    for _ in range(block):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return times


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=30)
    parser.add_argument("--block", type=int, default=200)
    parser.add_argument("--lumhost", default=str(REPOSITORY / "build" / "linux" / "bin" / "lumhost"))
    args = parser.parse_args()

    host = start_host(args.lumhost)
    try:
        import lumsdk
        from lumsdk import _library

        client = lumsdk.connect()
        plain = lumsdk.connect(heal=False)
        lib = _library.library()
        colors = {i: ((i * 37) % 256, (i * 101) % 256, i % 7) for i in range(LEDS)}
        records = (_library.LedColorC * LEDS)(*((i, *rgb) for i, rgb in colors.items()))
        c_call = lib.VelmoraSetLedsColors

        def bare():
            if not c_call(LEDS, records):
                raise RuntimeError("the C call failed")

        def python():
            client.set_colors(colors)

        def python_plain():
            plain.set_colors(colors)

        kinds = {"C call (ctypes, prepared array)": bare, "client.set_colors": python,
                 "client.set_colors (heal=False)": python_plain}
        medians = {name: [] for name in kinds}
        for call in kinds.values():  # warm-up
            time_block(call, args.block)
        for _ in range(args.rounds):
            for name, call in kinds.items():
                medians[name].append(statistics.median(time_block(call, args.block)))
        c_us, py_us, plain_us = (statistics.median(m) * 1e6 for m in medians.values())
        print(f"library: {lib.path}")
        print(f"{args.rounds} rounds of {args.block} calls each, {LEDS} LEDs, medians:")
        for name, m in medians.items():
            print(f"  {name:32} {statistics.median(m) * 1e6:8.1f} us")
        print(f"  Python adds {py_us - c_us:.1f} us per call: {py_us / c_us:.2f}x the C call")
        print(f"  healing (remembering the colours) adds {py_us - plain_us:.1f} us: "
              f"{py_us / plain_us:.2f}x heal=False")
    finally:
        host.stdin.write("quit\n")
        host.stdin.close()
        host.wait(timeout=30)


if __name__ == "__main__":
    main()
