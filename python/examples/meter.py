#!/usr/bin/python3
"""CPU meter: the load of the machine (from /proc/stat) shown across the
number row of the keyboard, green to red like a level meter.

    meter.py [--seconds S] [--interval S] [--leds ID,ID,...]

The library names LEDs by letter only, so the number row is found from the
geometry: the row just above the key Q, starting at the key over Q's left
edge. --leds gives the LED ids instead.
"""

import argparse
import time

import lumsdk

SCALE = 10  # keys in the meter
DIM = (0, 24, 0)  # unlit part of the scale, so the meter shows its length


def cpu_times():
    """(busy, total) jiffies since boot, from the first line of /proc/stat."""
    with open("/proc/stat", encoding="ascii") as stat:
        fields = [int(x) for x in stat.readline().split()[1:]]
    idle = fields[3] + (fields[4] if len(fields) > 4 else 0)  # idle + iowait
    total = sum(fields[:8])  # guest time is already counted in user time
    return total - idle, total


def number_row(client):
    """LED ids of the ten number keys, found from the position of Q."""
    q = client.led_for_key("Q")
    if q is None:
        raise SystemExit("meter: the host has no key Q to find the number row from")
    for device in range(client.device_count()):
        try:
            positions = client.positions(device)
        except lumsdk.BadArgumentError:
            continue  # a device without LEDs of its own
        key_q = next((p for p in positions if p.led_id == q), None)
        if key_q is None:
            continue
        above = [p for p in positions if p.top < key_q.top - 1]
        if not above:
            break
        row_top = max(p.top for p in above)
        row = sorted((p for p in above if abs(p.top - row_top) < 1), key=lambda p: p.left)
        start = max((i for i, p in enumerate(row) if p.left <= key_q.left), default=0)
        return [p.led_id for p in row[start:start + SCALE]]
    raise SystemExit("meter: no row of keys above Q")


def meter_colors(leds, load):
    """Lit keys from green to red by their place in the scale, the rest dim."""
    lit = round(load * len(leds))
    colors = {}
    for i, led in enumerate(leds):
        if i < lit:
            t = i / max(1, len(leds) - 1)
            colors[led] = (round(255 * t), round(255 * (1 - t)), 0)
        else:
            colors[led] = DIM
    return colors


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=None, help="stop after S seconds")
    parser.add_argument("--interval", type=float, default=0.5, help="seconds between readings")
    parser.add_argument("--leds", help="comma-separated LED ids of the meter")
    args = parser.parse_args()

    with lumsdk.connect() as client:
        leds = [int(x) for x in args.leds.split(",")] if args.leds else number_row(client)
        print(f"ready: CPU load on LEDs {leds}", flush=True)
        end = None if args.seconds is None else time.monotonic() + args.seconds
        updates = 0
        busy, total = cpu_times()
        colors = meter_colors(leds, 0.0)
        try:
            while end is None or time.monotonic() < end:
                client.set_colors(colors)
                updates += 1
                time.sleep(args.interval)
                now_busy, now_total = cpu_times()
                load = (now_busy - busy) / max(1, now_total - total)
                busy, total = now_busy, now_total
                colors = meter_colors(leds, min(1.0, max(0.0, load)))
                print(f"cpu {load:4.0%}", flush=True)
        except KeyboardInterrupt:
            pass
        print(f"meter: {updates} updates on {len(leds)} keys", flush=True)


if __name__ == "__main__":
    main()
