#!/usr/bin/python3
"""Key-press heat map: every press warms its key up (dark, blue, red,
yellow, white) and keys cool down again when left alone.

    heatmap.py [--seconds S] [--half-life S]

Key presses arrive with the host's own key id. The stand-in host sends the
key's LED id unless its profile says otherwise, so a press warms the LED of
that id when the host has one; other key ids are counted but light nothing.
"""

import argparse
import threading
import time

import lumsdk

TICK = 0.05  # seconds between updates
WARMTH_PER_PRESS = 0.35
COLD = 0.02  # below this a key is dark again

# Colour stops from cold to hot.
STOPS = [(0.0, (0, 0, 0)), (0.25, (0, 0, 255)), (0.55, (255, 0, 0)), (0.8, (255, 255, 0)),
         (1.0, (255, 255, 255))]


def color_for(heat):
    """The colour of a key with heat 0 to 1, interpolated between the stops."""
    for (low, a), (high, b) in zip(STOPS, STOPS[1:]):
        if heat <= high:
            t = (heat - low) / (high - low)
            return tuple(round(x + (y - x) * t) for x, y in zip(a, b))
    return STOPS[-1][1]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=None, help="stop after S seconds")
    parser.add_argument("--half-life", type=float, default=1.5,
                        help="seconds for a key to lose half its heat")
    args = parser.parse_args()
    decay = 0.5 ** (TICK / args.half_life)

    with lumsdk.connect() as client:
        leds = {p.led_id for p in client.positions()}
        client.priority = 255  # above other applications' effects
        heat = {}  # LED id -> heat 0..1; shared with the key-press function
        lock = threading.Lock()
        presses = 0

        @client.on_key
        def warm(vendor_key, pressed):
            # Runs on the library's notification thread: only record the press.
            nonlocal presses
            if not pressed:
                return
            with lock:
                presses += 1
                if vendor_key in leds:
                    heat[vendor_key] = min(1.0, heat.get(vendor_key, 0.0) + WARMTH_PER_PRESS)

        print("ready: press keys on the host (Ctrl-C stops)", flush=True)
        warmed = set()
        end = None if args.seconds is None else time.monotonic() + args.seconds
        try:
            while end is None or time.monotonic() < end:
                with lock:
                    frame = {}
                    for led, h in list(heat.items()):
                        if h < COLD:
                            del heat[led]
                            frame[led] = (0, 0, 0)
                        else:
                            frame[led] = color_for(h)
                            heat[led] = h * decay
                            warmed.add(led)
                if frame:
                    client.set_colors(frame)
                time.sleep(TICK)
        except KeyboardInterrupt:
            pass
        warm.stop()
        print(f"heatmap: {presses} presses, {len(warmed)} keys warmed", flush=True)


if __name__ == "__main__":
    main()
