"""Time from a restarted lumhost serving again to a healing client's
``restored``, over kill/restart cycles.

    LUMSDK_LIBRARY=build/linux/bin/libLUMSDK.so \\
        python3 python/bench/heal_bench.py build/linux/bin/lumhost [CYCLES]

lumhost runs on pipes of its own and is killed with SIGKILL each cycle. The
start is when lumhost prints that it serves (just after it accepts
connections); the end is when the client's state function sees
``restored``. The client probes every 100 ms.
"""

import os
import statistics
import subprocess
import sys
import threading
import time
import uuid
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
os.environ["LUMSDK_PIPE_BASE"] = f"lumsdk-heal-bench-{uuid.uuid4().hex[:8]}"

import lumsdk  # noqa: E402


def start(lumhost):
    process = subprocess.Popen([lumhost, "--no-view", "--no-input"], stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, text=True)
    for line in process.stdout:
        if "lumhost: serving" in line:
            return process, time.monotonic()
    raise SystemExit("lumhost did not start")


def main():
    lumhost = sys.argv[1]
    cycles = int(sys.argv[2]) if len(sys.argv) > 2 else 20
    restored = threading.Event()
    at = []

    def seen(state):
        if state is lumsdk.ConnectionState.RESTORED:
            at.append(time.monotonic())
            restored.set()

    host, _ = start(lumhost)
    client = lumsdk.connect(probe_interval=0.1, on_state=seen)
    client.set_colors({i: (i, 0, 0) for i in range(1, 101)})
    client.priority = 200
    client.on_key(lambda key, pressed: None)
    delays, refusals = [], []
    for _ in range(cycles):
        restored.clear()
        host.kill()
        host.wait()
        time.sleep(0.3)  # the client notices and starts knocking
        for _ in range(100):  # calls while the host is away fail at once
            begin = time.perf_counter()
            try:
                client.set_colors({1: (1, 2, 3)})
            except lumsdk.HostUnreachableError:
                pass
            refusals.append(time.perf_counter() - begin)
        host, serving = start(lumhost)
        if not restored.wait(30):
            raise SystemExit("not restored within 30 s")
        delays.append(at[-1] - serving)
    client.close()
    host.kill()
    host.wait()
    delays.sort()
    p99 = delays[min(len(delays) - 1, int(len(delays) * 0.99))]
    print(f"{cycles} cycles: serving -> restored p50 {statistics.median(delays) * 1000:.0f} ms, "
          f"p99 {p99 * 1000:.0f} ms, max {delays[-1] * 1000:.0f} ms")
    print(f"{len(refusals)} calls while away: p50 {statistics.median(refusals) * 1e6:.1f} us, "
          f"max {max(refusals) * 1e6:.1f} us")


if __name__ == "__main__":
    main()
