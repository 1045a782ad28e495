#!/usr/bin/env python3
"""Writes the performance sheet and its latency plot from the raw output that
scripts/perf-report.sh collects in one directory:

    perf-sheet.py RESULTS_DIR SHEET.md PLOT.svg

Every figure of the sheet comes from a file of RESULTS_DIR; none is typed
here. A figure missing from the run (say, no Wine) shows as a dash.
"""
import os
import re
import sys

import matplotlib

matplotlib.use("svg")
import matplotlib.pyplot as plt  # noqa: E402 (the back end is chosen first)


def read_figures(path):
    """key=value lines of a file (the others are comments), values as floats."""
    figures = {}
    if not os.path.exists(path):
        return figures
    with open(path, encoding="utf-8") as f:
        for line in f:
            key, sep, value = line.strip().partition("=")
            if sep and not key.startswith("#"):
                try:
                    figures[key] = float(value)
                except ValueError:
                    figures[key] = value
    return figures


def read_text(path):
    """The machine file: key=value with text values."""
    values = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            key, sep, value = line.rstrip("\n").partition("=")
            if sep:
                values[key] = value
    return values


# Windows counts CPU time in clock ticks of 10 to 16 ms (Wine too): a total
# of fewer than about ten ticks says little, and is left out.
WINE_CPU_MIN_US = 100000

FIRST_CALL = re.compile(r"^(\S+)\s+([\d.]+) \[\s*([\d.]+),\s*([\d.]+)\]\s*([\d.]+)?")


def read_first_calls(path):
    """api_bench --first-calls: name -> (median first, min, max, second)."""
    calls = {}
    if not os.path.exists(path):
        return calls
    with open(path, encoding="utf-8") as f:
        for line in f:
            m = FIRST_CALL.match(line)
            if m:
                second = float(m.group(5)) if m.group(5) else None
                calls[m.group(1)] = (float(m.group(2)), float(m.group(3)), float(m.group(4)), second)
    return calls


def read_samples(path):
    samples = {"library": [], "bare": []}
    if not os.path.exists(path):
        return samples
    with open(path, encoding="utf-8") as f:
        for line in f:
            kind, _, us = line.partition(" ")
            if kind in samples:
                samples[kind].append(float(us))
    return samples


def num(value, digits=1):
    if value is None:
        return "—"
    if abs(value) >= 10000:
        return f"{value:,.0f}".replace(",", " ")
    return f"{value:.{digits}f}"


def ratio(a, b, digits=2):
    if a is None or b is None or b == 0:
        return "—"
    return f"{a / b:.{digits}f}"


class Platform:
    """The figures of one platform's runs."""

    def __init__(self, results, name):
        def load(part):
            return read_figures(os.path.join(results, f"{name}-{part}.txt"))

        self.wine = name == "wine"
        self.canned = load("canned")
        self.set_flat = load("host-set-flat")
        self.count_flat = load("host-count-flat")
        self.set_paced = load("host-set-paced")
        self.count_paced = load("host-count-paced")
        self.host_start = load("host-start")
        self.first = read_first_calls(os.path.join(results, f"{name}-first.txt"))
        self.samples = read_samples(os.path.join(results, f"{name}-samples.txt"))

    def cpu(self, per_call, calls):
        """A CPU time per call, or None where the clock's ticks make it meaningless."""
        if per_call is None or calls is None:
            return None
        if self.wine and per_call * calls < WINE_CPU_MIN_US:
            return None
        return per_call

    def canned_pair(self, key):
        """(library, bare) for a canned figure named PHASE_KIND_REST."""
        phase, _, rest = key.partition("_")
        pair = []
        for kind in ("library", "bare"):
            value = self.canned.get(f"{phase}_{kind}_{rest}")
            if "cpu" in rest:
                value = self.cpu(value, self.canned.get(f"{phase}_{kind}_calls"))
            pair.append(value)
        return tuple(pair)

    def process_cpu(self, phase):
        return self.cpu(phase.get("process_cpu_us_per_call"), phase.get("calls"))

    @staticmethod
    def per_call(phase, key):
        value, calls = phase.get(key), phase.get("calls")
        return value / calls if value is not None and calls else None


def pair_row(label, native, wine, unit_digits=1, ratio_digits=2):
    cells = [label]
    for lib, bare in (native, wine):
        cells += [num(lib, unit_digits), num(bare, unit_digits), ratio(lib, bare, ratio_digits)]
    return "| " + " | ".join(cells) + " |"


def write_plot(native, wine, path):
    panels = [(title, p) for title, p in (("native", native), ("Wine", wine)) if p.samples["library"]]
    plt.rcParams["svg.hashsalt"] = "lumsdk-perf"
    fig, axes = plt.subplots(1, len(panels), figsize=(5.2 * len(panels), 3.6), squeeze=False)
    for ax, (title, p) in zip(axes[0], panels):
        for kind, label, colour in (("library", "SetLedsColors(214)", "tab:blue"),
                                    ("bare", "bare round trip, same bytes", "tab:grey")):
            values = sorted(p.samples[kind])
            n = len(values)
            # The share of calls slower than each time: on a log scale the
            # tail (p99, p99.9) is as readable as the middle.
            ax.step(values, [(n - i - 1) / n for i in range(n)], where="post", color=colour,
                    label=f"{label}: p50 {values[n // 2]:.1f} µs, p99 {values[n * 99 // 100]:.1f} µs")
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_ylim(bottom=0.5 / max(len(p.samples["library"]), 1), top=1.2)
        ax.set_xlabel("time of one call, µs (log scale)")
        ax.set_ylabel("share of calls slower than this (log scale)")
        ax.set_title(f"{title}: {len(p.samples['library'])} calls each, back to back")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(loc="lower left", fontsize=7)
    fig.tight_layout()
    fig.savefig(path, format="svg", metadata={"Date": None})


def main():
    if len(sys.argv) != 4:
        sys.exit("usage: perf-sheet.py RESULTS_DIR SHEET.md PLOT.svg")
    results, sheet_path, plot_path = sys.argv[1:]
    machine = read_text(os.path.join(results, "machine.txt"))
    native = Platform(results, "native")
    wine = Platform(results, "wine")
    scale = read_figures(os.path.join(results, "native-scale.txt"))
    scale_start = read_figures(os.path.join(results, "native-scale-start.txt"))
    quick = machine.get("quick") == "1"

    out = []
    w = out.append
    w("# Performance sheet")
    w("")
    elapsed = read_figures(os.path.join(results, "elapsed.txt")).get("elapsed_s")
    w("Written by `scripts/perf-report.sh` from the output of the benchmarks of one run; no figure "
      "here is typed by hand. Run the script again to renew it (this run took "
      f"{num(elapsed / 60 if elapsed else None)} minutes, builds included; "
      "`bench/README.md` says what each benchmark measures).")
    if quick:
        w("")
        w("**This is a shortened run (`--quick`): every run lasts a fraction of its full time.**")
    w("")
    w("## The machine")
    w("")
    w("| | |")
    w("|---|---|")
    for key, label in (("date", "date"), ("commit", "commit"), ("cpu", "CPU"), ("cores", "cores"),
                       ("kernel", "kernel"), ("os", "system"), ("gcc", "native compiler"),
                       ("mingw", "Windows compiler"), ("wine", "Wine"),
                       ("load", "load average at the start")):
        w(f"| {label} | {machine.get(key, '—')} |")
    w("")
    w("Release builds (`RelWithDebInfo`, `-O2`): the `linux` preset natively, the `windows` preset "
      "(MinGW-w64) under Wine. Times are wall-clock times of a shared virtual machine: only the "
      "ratios to the yardstick measured in the same run carry over to other machines.")
    w("")

    # --- the headline figures, each with its yardstick
    w("## At a glance")
    w("")
    w("Frames of the whole desk (214 LEDs); each figure beside its yardstick of the same run, as "
      "*× yardstick*. The sections below say how each is measured.")
    w("")
    w("| figure | native | × yardstick | Wine | × yardstick | yardstick |")
    w("|---|---|---|---|---|---|")

    def glance(label, get, yardstick, digits=1, ratio_digits=2):
        cells = [label]
        for p in (native, wine):
            value, base = get(p)
            cells += [num(value, digits), ratio(value, base, ratio_digits) if base is not None else ""]
        w("| " + " | ".join(cells) + f" | {yardstick} |")

    glance("most frames per second, synchronous", lambda p: p.canned_pair("flat_fps"),
           "bare round trips of the same bytes per second", 0)
    glance("time of a set, p50 (µs)", lambda p: p.canned_pair("flat_p50_us"),
           "bare round trip, p50")
    glance("time of a set, p99 (µs)", lambda p: p.canned_pair("flat_p99_us"),
           "bare round trip, p99")
    glance("asynchronous frames reaching the host per second",
           lambda p: (p.canned.get("async_requests_per_s"), None), "(one per worker pass)")
    glance("client CPU per 60 Hz frame (µs)", lambda p: p.canned_pair("paced_cpu_us_per_call"),
           "bare round trip at 60 Hz")
    glance("lumhost CPU per 60 Hz frame (µs)",
           lambda p: (Platform.per_call(p.set_paced, "host_cpu_us"),
                      Platform.per_call(p.count_paced, "host_cpu_us")),
           "`GetDeviceCount` at 60 Hz")
    glance("client resident memory after the 60 Hz run (KiB)",
           lambda p: (p.set_paced.get("rss_end_kb"), p.set_paced.get("rss_before_kb")),
           "the same process before its first library call", 0)
    glance("lumhost resident memory after all runs (KiB)",
           lambda p: (p.count_paced.get("host_rss_kb"), p.host_start.get("host_rss_kb")),
           "lumhost at its start", 0)
    glance("first call of a process, the handshake (µs)",
           lambda p: (p.first.get("PerformProtocolHandshake", (None,))[0],
                      p.first.get("GetDeviceCount", (None, None, None, None))[3]),
           "a warm `GetDeviceCount`", 0, 0)
    if scale:
        w(f"| {num(scale.get('clients'), 0)} clients at {num(scale.get('rate'), 0)} Hz: lumhost CPU "
          f"(% of one core) | {num(scale.get('host_cpu_percent'))} | | — | | |")
        w(f"| {num(scale.get('clients'), 0)} clients at {num(scale.get('rate'), 0)} Hz: time of a "
          f"set, p99 (µs) | {num(scale.get('call_p99_us'))} | "
          f"{ratio(scale.get('call_p99_us'), native.set_paced.get('p99_us'), 1)} | — | | "
          "one client at 60 Hz against lumhost, p99 |")
        w(f"| {num(scale.get('clients'), 0)} clients at {num(scale.get('rate'), 0)} Hz: clients "
          f"that kept the rate | {num(scale.get('clients_kept_rate'), 0)} of "
          f"{num(scale.get('clients'), 0)} | | — | | |")
    w("")

    # --- frames against the canned peer
    w("## Frames of the whole desk: 214 LEDs")
    w("")
    w("`frame_bench canned`: `VelmoraSetLedsColors` with all 214 LEDs of the desk (one colour "
      "changed per frame) against a peer in the same process that answers as a host does, next to "
      "the **bare round trip**: the very bytes of the frame's request sent and the same answer read "
      "with plain operating-system calls against the same kind of peer. All threads of the process "
      "run on one CPU. *Ratio*: library ÷ bare.")
    w("")
    w("| figure | native library | bare | ratio | Wine library | bare | ratio |")
    w("|---|---|---|---|---|---|---|")
    rows = (
        ("most frames per second, synchronous (back to back)", "flat_fps", 0, 3),
        ("time of a set, p50 (µs, back to back)", "flat_p50_us", 1, 2),
        ("time of a set, p99 (µs, back to back)", "flat_p99_us", 1, 2),
        ("time of a set at 60 Hz, p50 (µs)", "paced_p50_us", 1, 2),
        ("time of a set at 60 Hz, p99 (µs)", "paced_p99_us", 1, 2),
        ("client CPU per 60 Hz frame (µs, calling thread)", "paced_cpu_us_per_call", 1, 2),
        ("client CPU per frame back to back (µs, calling thread)", "flat_cpu_us_per_call", 1, 2),
    )
    for label, key, digits, _ in rows:
        w(pair_row(label, native.canned_pair(key), wine.canned_pair(key), digits))
    for label, key in (("asynchronous: calls accepted per second, one thread", "async_calls_per_s"),
                       ("asynchronous: frames that reached the peer per second", "async_requests_per_s"),
                       ("asynchronous: time of a call, p50 (µs)", "async_call_p50_us"),
                       ("asynchronous: time of a call, p99 (µs)", "async_call_p99_us")):
        w(f"| {label} | {num(native.canned.get(key), 2)} | | | {num(wine.canned.get(key), 2)} | | |")
    w("")
    w("How: *back to back*: alternating blocks of 50 library calls and 50 bare round trips for "
      "a quarter of the run (frames per second = calls ÷ the sum of their times). *At 60 Hz*: half a "
      "second of library frames and half a second of bare round trips in turn, each frame started "
      "on a 60 Hz schedule. *Client CPU*: the calling thread's CPU time "
      "(`clock_gettime(CLOCK_THREAD_CPUTIME_ID)` natively, `GetThreadTimes` on Windows) read "
      "around each block or half second and divided by its calls; at 60 Hz it includes waking "
      "up for each frame. The peer's thread is not counted. Under Wine the CPU time advances in "
      "clock ticks of 10 ms: a figure whose total is under ten ticks is left out (—), the others "
      "are coarse; and most of the work of a pipe operation falls to the wine server, which is "
      "not counted. *Asynchronous*: "
      "`VelmoraSetLedsColorsAsync` called back to back by one thread; the library's worker sends "
      "the newest colours once per pass (a pass every 10 ms), so the frames that reach the peer "
      "are bounded by the passes, not by the calls.")
    w("")
    if native.samples["library"]:
        w("![Distribution of the time of one SetLedsColors(214) call against the bare round trip "
          "of the same bytes](performance-latency.svg)")
        w("")
        w("The distribution of the back-to-back times above: for every time, the share of the calls "
          "of each kind that took longer.")
        w("")

    # --- against lumhost
    w("## Against lumhost")
    w("")
    w("`frame_bench host` against a running lumhost (`--no-view`), one client process: 214-LED "
      "frames next to `VelmoraGetDeviceCount`, the smallest request lumhost answers, as the "
      "round-trip yardstick of the same run (*ratio*: frame ÷ device count). The client's CPU is "
      "the whole process's (`getrusage`; `GetProcessTimes` under Wine), lumhost's is read from "
      "`/proc/PID/task/*/schedstat` (nanoseconds, every thread) around each run; under Wine that "
      "is the process of `lumhost.exe`, without the wine server.")
    w("")
    w("| figure | native frame | device count | ratio | Wine frame | device count | ratio |")
    w("|---|---|---|---|---|---|---|")

    def host_row(label, get, digits=1):
        cells = [label]
        for p in (native, wine):
            lib, base = get(p, True), get(p, False)
            cells += [num(lib, digits), num(base, digits), ratio(lib, base)]
        w("| " + " | ".join(cells) + " |")

    def idle_percent(p):
        used, seconds = p.host_start.get("idle_cpu_us"), p.host_start.get("idle_seconds")
        return 100 * used / 1e6 / seconds if used is not None and seconds else None

    def flat(p, frames):
        return p.set_flat if frames else p.count_flat

    def paced(p, frames):
        return p.set_paced if frames else p.count_paced

    host_row("most calls per second (back to back)", lambda p, f: flat(p, f).get("calls_per_s"), 0)
    host_row("time of a call, p50 (µs, back to back)", lambda p, f: flat(p, f).get("p50_us"))
    host_row("time of a call, p99 (µs, back to back)", lambda p, f: flat(p, f).get("p99_us"))
    host_row("time of a call at 60 Hz, p50 (µs)", lambda p, f: paced(p, f).get("p50_us"))
    host_row("time of a call at 60 Hz, p99 (µs)", lambda p, f: paced(p, f).get("p99_us"))
    host_row("client CPU per call at 60 Hz (µs, process)",
             lambda p, f: p.process_cpu(paced(p, f)))
    host_row("client CPU per call back to back (µs, process)",
             lambda p, f: p.process_cpu(flat(p, f)))
    host_row("lumhost CPU per call at 60 Hz (µs)",
             lambda p, f: Platform.per_call(paced(p, f), "host_cpu_us"))
    host_row("lumhost CPU per call back to back (µs)",
             lambda p, f: Platform.per_call(flat(p, f), "host_cpu_us"))
    host_row("lumhost CPU at 60 Hz (% of one core)",
             lambda p, f: (100 * paced(p, f)["host_cpu_us"] / 1e6 / paced(p, f)["seconds"]
                           if "host_cpu_us" in paced(p, f) else None), 2)
    w("| lumhost CPU with no client (% of one core) | "
      + " | ".join(f"{num(idle_percent(p), 2)} | | " for p in (native, wine)) + " |")
    host_row("client resident memory after the run at 60 Hz (KiB)",
             lambda p, f: paced(p, f).get("rss_end_kb"), 0)
    w("")
    w("Memory (KiB, resident):")
    w("")
    w("| | native | Wine |")
    w("|---|---|---|")

    def mem_row(label, get):
        w(f"| {label} | {num(get(native), 0)} | {num(get(wine), 0)} |")

    mem_row("client before its first library call", lambda p: p.set_paced.get("rss_before_kb"))
    mem_row("client after the handshake", lambda p: p.set_paced.get("rss_handshake_kb"))
    mem_row("client after the 60 Hz frames (end of run)", lambda p: p.set_paced.get("rss_end_kb"))
    mem_row("client after as many device counts (yardstick)", lambda p: p.count_paced.get("rss_end_kb"))
    mem_row("client peak after the back-to-back frames", lambda p: p.set_flat.get("rss_peak_kb"))
    mem_row("lumhost at its start", lambda p: p.host_start.get("host_rss_kb"))
    mem_row("lumhost after every run above", lambda p: p.count_paced.get("host_rss_kb"))

    def frames_note(p):
        calls = p.set_paced.get("calls")
        return f"{num(calls, 0)} frames" if calls else "—"

    w("")
    w(f"The 60 Hz runs last {num(native.set_paced.get('seconds'), 0)} s natively "
      f"({frames_note(native)}) and {num(wine.set_paced.get('seconds'), 0)} s under Wine "
      f"({frames_note(wine)}); the back-to-back runs {num(native.set_flat.get('seconds'), 0)} s "
      f"and {num(wine.set_flat.get('seconds'), 0)} s. Under Wine the runs are shorter to keep the "
      "script within minutes, and the working set stands for the resident memory.")
    w("")

    # --- first calls
    w("## First calls")
    w("")
    w("`api_bench --first-calls`: each export as the first call after the handshake of a fresh "
      "process of its own (median over the processes, µs), next to the second call of the same "
      "process as the warm yardstick (*ratio*: first ÷ second). The handshake row is the first "
      "call of every process, which sets up the connection.")
    w("")
    w("| export | native first | second | ratio | Wine first | second | ratio |")
    w("|---|---|---|---|---|---|---|")
    names = list(native.first) or list(wine.first)
    for name in names:
        cells = [f"`{name}`"]
        for p in (native, wine):
            first, _, _, second = p.first.get(name, (None, None, None, None))
            cells += [num(first), num(second), ratio(first, second, 1)]
        w("| " + " | ".join(cells) + " |")
    w("")

    # --- scale
    w("## lumhost at scale")
    w("")
    if scale:
        seconds = scale.get("seconds")
        kept = scale.get("clients_kept_rate")
        clients = scale.get("clients")
        w(f"`scale_bench`, natively: {num(clients, 0)} client processes (one library session each) "
          f"set all 214 LEDs {num(scale.get('rate'), 0)} times per second for {num(seconds, 0)} s "
          "against one lumhost started with `--http` on a loopback port; meanwhile the page's "
          f"state (`GET /api/state`) is fetched every 2 s. lumhost's CPU comes from "
          "`/proc/PID/stat` (utime + stime) over the run. A client *kept* the rate when it made at "
          "least 99% of its frames and at most 1% of them ran into the next frame's time.")
        w("")
        w("| figure | value |")
        w("|---|---|")
        w(f"| lumhost CPU (% of one core) | {num(scale.get('host_cpu_percent'), 1)} |")
        w(f"| lumhost CPU per frame (µs) | {num(scale.get('host_cpu_us_per_frame'), 1)} |")
        w(f"| clients that kept {num(scale.get('rate'), 0)} Hz | {num(kept, 0)} of {num(clients, 0)} |")
        w(f"| slowest client (frames per second) | {num(scale.get('min_client_fps'), 2)} |")
        w(f"| frames that ran into the next frame's time (all clients; most of one client) | "
          f"{num(scale.get('late_frames_total'), 0)}; {num(scale.get('late_frames_max_client'), 0)} |")
        w(f"| time of a call, p50 / p99 / longest (µs) | {num(scale.get('call_p50_us'))} / "
          f"{num(scale.get('call_p99_us'))} / {num(scale.get('call_max_us'))} |")
        w(f"| p99 of a call ÷ p50 of the single client at 60 Hz above | "
          f"{ratio(scale.get('call_p99_us'), native.set_paced.get('p50_us'), 1)} |")
        w(f"| state fetches: answered, failed | {num(scale.get('fetches'), 0)}, "
          f"{num(scale.get('fetch_failures'), 0)} |")
        w(f"| state fetch, p50 / longest (ms) | {num(scale.get('fetch_p50_ms'), 2)} / "
          f"{num(scale.get('fetch_max_ms'), 2)} |")
        w(f"| lumhost resident memory at its start / at the end (KiB) | "
          f"{num(scale_start.get('host_rss_kb'), 0)} / {num(scale.get('host_rss_kb'), 0)} |")
        w(f"| client processes that failed | {num(scale.get('failed_clients'), 0)} |")
    else:
        w("Not run.")
    w("")

    with open(sheet_path, "w", encoding="utf-8") as f:
        f.write("\n".join(out))
    if native.samples["library"] or wine.samples["library"]:
        write_plot(native, wine, plot_path)


if __name__ == "__main__":
    main()
