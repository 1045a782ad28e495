"""Command line: ``python -m lumsdk [--json] COMMAND``.

  devices                    the host's devices, channels included
  positions [--device N]     LED positions (all, or one device's)
  set [--for S] KEY=#rrggbb  set colours (a letter key or an LED id) and
                             keep them until Ctrl-C, or for S seconds: the
                             host drops a client's colours when it exits
  keys                       print key presses until Ctrl-C

``--json`` prints JSON (one object per line for ``keys``) for scripts.
"""

from __future__ import annotations

import argparse
import dataclasses
import json
import os
import re
import sys
import threading
from typing import Dict, List, Optional, Sequence, Tuple

from . import Client, HostUnreachableError, LumsdkError, connect

_COLOR = re.compile(r"#?([0-9a-fA-F]{6})")


def _parse_assignment(text: str) -> Tuple[str, Tuple[int, int, int]]:
    target, sep, color = text.partition("=")
    match = _COLOR.fullmatch(color)
    if not sep or not target or not match:
        raise argparse.ArgumentTypeError(f"{text!r} is not KEY_OR_ID=#rrggbb")
    if not target.isdigit() and not (len(target) == 1 and target.isascii() and target.isalpha()):
        raise argparse.ArgumentTypeError(f"{target!r} is neither a letter key nor an LED id")
    value = int(match.group(1), 16)
    return target, ((value >> 16) & 255, (value >> 8) & 255, value & 255)


def _parser() -> argparse.ArgumentParser:
    json_flag = argparse.ArgumentParser(add_help=False)
    json_flag.add_argument("--json", action="store_true", default=argparse.SUPPRESS,
                           help="print JSON for scripts")
    parser = argparse.ArgumentParser(prog="python -m lumsdk", parents=[json_flag],
                                     description="Control the lighting host from the command line.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    commands.add_parser("devices", parents=[json_flag], help="list the host's devices")
    positions = commands.add_parser("positions", parents=[json_flag], help="list LED positions")
    positions.add_argument("--device", type=int, help="only this device's LEDs")
    setter = commands.add_parser("set", parents=[json_flag],
                                 help="set colours: KEY_OR_ID=#rrggbb ...")
    setter.add_argument("--for", dest="seconds", type=float, default=None,
                        help="keep the colours this many seconds (default: until Ctrl-C)")
    setter.add_argument("colors", nargs="+", type=_parse_assignment, metavar="KEY_OR_ID=#rrggbb")
    commands.add_parser("keys", parents=[json_flag], help="print key presses until Ctrl-C")
    return parser


def _out(line: str) -> None:
    print(line, flush=True)


def _devices(client: Client, as_json: bool) -> None:
    devices = client.devices()
    if as_json:
        _out(json.dumps([dataclasses.asdict(d) for d in devices]))
        return
    _out(f"host {client.protocol.server_version} (protocol {client.protocol.server_protocol_version}),"
         f" {len(devices)} devices")
    for d in devices:
        _out(f"{d.index}: {d.model} (type {d.type}, {d.leds_count} LEDs, layout "
             f"{d.physical_layout}/{d.logical_layout}, caps {d.caps_mask:#x})")
        for n, channel in enumerate(d.channels):
            attached = ", ".join(f"type {a.type} with {a.led_count} LEDs" for a in channel.devices)
            _out(f"   channel {n}: {channel.total_leds} LEDs" + (f": {attached}" if attached else ""))


def _positions(client: Client, device: Optional[int], as_json: bool) -> None:
    positions = client.positions(device)
    if as_json:
        _out(json.dumps([dataclasses.asdict(p) for p in positions]))
        return
    for p in positions:
        _out(f"LED {p.led_id}: left {p.left:g}, top {p.top:g}, width {p.width:g}, height {p.height:g}")


def _set(client: Client, assignments: List[tuple], seconds: Optional[float], as_json: bool) -> None:
    colors: Dict[int, tuple] = {}
    for target, rgb in assignments:
        led = int(target) if target.isdigit() else client.led_for_key(target)
        if led is None:
            raise LumsdkError(f"the host has no LED for the key {target!r}")
        colors[led] = rgb
    client.set_colors(colors)
    if as_json:
        _out(json.dumps({str(led): "#%02x%02x%02x" % rgb for led, rgb in colors.items()}))
    else:
        _out("set " + ", ".join(f"LED {led} #%02x%02x%02x" % rgb for led, rgb in colors.items()))
    print("keeping the colours " + ("until Ctrl-C" if seconds is None else f"for {seconds:g} s"),
          file=sys.stderr, flush=True)
    threading.Event().wait(seconds)


def _keys(client: Client, as_json: bool) -> None:
    def show(vendor_key: int, pressed: bool) -> None:
        if as_json:
            _out(json.dumps({"vendor_key": vendor_key, "pressed": pressed}))
        else:
            _out(f"key {vendor_key} {'pressed' if pressed else 'released'}")

    client.on_key(show)
    print("listening for key presses; Ctrl-C stops", file=sys.stderr, flush=True)
    stop = threading.Event()
    while not stop.wait(0.5):  # short waits so that Ctrl-C is seen at once
        pass


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = _parser().parse_args(argv)
    as_json = getattr(args, "json", False)
    try:
        # set and keep listening heal across host restarts; they too start
        # only when a host answers.
        with connect(heal=args.command in ("set", "keys")) as client:
            if not client.connected:
                raise HostUnreachableError("handshake failed with error 1 (host unreachable)")
            if args.command == "devices":
                _devices(client, as_json)
            elif args.command == "positions":
                _positions(client, args.device, as_json)
            elif args.command == "set":
                _set(client, args.colors, args.seconds, as_json)
            else:
                _keys(client, as_json)
    except KeyboardInterrupt:
        return 0
    except BrokenPipeError:
        # The reader went away (e.g. `| head`): stop quietly, and keep the
        # interpreter from failing on the final flush.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except LumsdkError as e:
        print(f"lumsdk: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
