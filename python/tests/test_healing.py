"""Healing clients across host kills and restarts.

These tests kill the session's lumhost with SIGKILL and start it again on
the same pipes; each leaves it serving the built-in desk for the tests that
follow.
"""

import json
import os
import subprocess
import sys
import time
import uuid

import pytest

import lumsdk
from conftest import PYTHON_DIR, WAIT, Host, _find_lumhost, run_python, wait_until
from lumsdk import ConnectionState as State

PROBE = 0.1

# A second application, with nothing but ctypes: reads LED colours as the
# user sees them.
READ_COLORS = """
import ctypes, json, sys
class Details(ctypes.Structure):
    _fields_ = [("sdk", ctypes.c_char_p), ("server", ctypes.c_char_p), ("sdkProtocol", ctypes.c_int),
                ("serverProtocol", ctypes.c_int), ("breaking", ctypes.c_bool)]
class Color(ctypes.Structure):
    _fields_ = [("ledId", ctypes.c_int), ("r", ctypes.c_int), ("g", ctypes.c_int), ("b", ctypes.c_int)]
lib = ctypes.CDLL(sys.argv[1])
lib.VelmoraPerformProtocolHandshake.restype = Details
lib.VelmoraGetLedsColors.restype = ctypes.c_bool
lib.VelmoraPerformProtocolHandshake()
ids = [int(i) for i in sys.argv[2:]]
colors = (Color * len(ids))(*((i, 0, 0, 0) for i in ids))
assert lib.VelmoraGetLedsColors(len(ids), colors), lib.VelmoraGetLastError()
print(json.dumps({c.ledId: [c.r, c.g, c.b] for c in colors}))
"""


def colors_seen_by_another_application(*leds):
    library = lumsdk._library.library().path
    result = run_python(["-c", READ_COLORS, library, *map(str, leds)])
    assert result.returncode == 0, result.stderr
    return {int(k): tuple(v) for k, v in json.loads(result.stdout).items()}


def host_state(host, line):
    """The line of the host's 'state' report that holds ``line``."""
    host.command("state")
    host.wait_for(line)
    return next(text for text in host.lines if line in text)


class Events(list):
    """State events in the order they came, with the time of each."""

    def __call__(self, state):
        self.append(state)
        self.times = getattr(self, "times", []) + [time.monotonic()]

    def settled(self, expected, timeout=WAIT):
        """Waits for ``expected``, then a few more probes, and returns what came."""
        wait_until(lambda: len(self) >= len(expected), timeout)
        time.sleep(PROBE * 5)
        return list(self)


@pytest.fixture
def healing(host):
    events = Events()
    client = lumsdk.connect(probe_interval=PROBE, on_state=events)
    yield client, events
    try:
        if client.connected:
            client.release_control()
    finally:
        client.close()
        if getattr(host, "args", ()):  # back to the built-in desk
            host.kill()
            host.args = ()
            host.start()


def test_a_killed_and_restarted_host_gets_everything_back_once(host, healing, caplog):
    client, events = healing
    led = client.led_for_key("A")
    client.set_colors({1: (10, 20, 30), 2: (40, 50, 60)})
    client.set_colors({2: (0, 0, 1), 3: (0, 0, 2)})
    client.set_colors({1: (10, 20, 30), 2: (40, 50, 60)})
    client.buffer(0, {4: (4, 4, 4)})
    client.flush()
    client.buffer(0, {5: (5, 5, 5)})  # never flushed: not restored
    client.priority = 200
    assert client.request_control()
    presses = []
    client.on_key(lambda key, pressed: presses.append((key, pressed)))
    # State functions may call the client; one that raises is logged and
    # the others still run; a stopped one is not called.
    read_back = []
    client.on_state(lambda s: read_back.append(client.get_colors([1])) if s is State.RESTORED
                    else None)
    client.on_state(lambda s: 1 / 0)
    client.on_state(lambda s: read_back.append("stopped one called")).stop()

    host.kill()
    assert wait_until(lambda: State.LOST in events)
    # While the host is away calls fail at once, and what they set is kept.
    start = time.monotonic()
    for i in range(50):
        with pytest.raises(lumsdk.HostUnreachableError):
            client.set_colors({2: (70, 80, 90 + i % 2), 3: (1, 2, 3)})
        with pytest.raises(lumsdk.HostUnreachableError):
            client.set_colors({10 + i: (i + 1, 0, 0)})
    assert time.monotonic() - start < 1.0  # the library's time-out is 5 s per call
    with pytest.raises(lumsdk.HostUnreachableError):
        client.device_count()

    host.start()
    assert events.settled([State.CONNECTED, State.LOST, State.RESTORED]) == [
        State.CONNECTED, State.LOST, State.RESTORED]
    assert client.connected
    assert read_back == [{1: (10, 20, 30)}]
    assert len([r for r in caplog.records if "ZeroDivisionError" in str(r.exc_info)]) == 2
    assert colors_seen_by_another_application(1, 2, 3, 4, 5, 10, 59) == {
        1: (10, 20, 30), 2: (70, 80, 91), 3: (1, 2, 3), 4: (4, 4, 4), 5: (0, 0, 0),
        10: (1, 0, 0), 59: (50, 0, 0)}
    assert host_state(host, "layer priority 200").endswith(", holds control")
    host.command("tap A")
    assert wait_until(lambda: len(presses) >= 2)
    time.sleep(0.3)
    assert presses == [(led, True), (led, False)]
    assert client.protocol.server_version.startswith("lumhost")


def test_a_host_with_other_devices_reports_devices_changed(host, healing, tmp_path):
    client, events = healing
    profile = tmp_path / "smaller.json"
    subprocess.run([_find_lumhost(), "--dump-profile", str(profile)], check=True, timeout=WAIT)
    desk = json.loads(profile.read_text())
    desk["devices"].pop()
    profile.write_text(json.dumps(desk))
    before = client.device_count()
    client.set_colors({5: (9, 9, 9)})

    host.kill()
    host.args = ("--profile", str(profile))
    host.start(*host.args)
    expected = [State.CONNECTED, State.LOST, State.RESTORED, State.DEVICES_CHANGED]
    assert events.settled(expected) == expected
    assert client.device_count() == before - 1
    assert client.get_colors([5]) == {5: (9, 9, 9)}


# An application that starts before any host, then exits while its client
# is reconnecting to a host that went away.
def test_an_application_started_before_the_host_connects_when_it_starts_and_exits_while_healing():
    pipe_base = f"lumsdk-pytest-early-{uuid.uuid4().hex[:8]}"
    script = ("import lumsdk\n"
              "client = lumsdk.connect(probe_interval=0.1, on_state=lambda s: print(s.value, flush=True))\n"
              "print('connected' if client.connected else 'waiting', flush=True)\n"
              "try:\n"
              "    client.set_colors({7: (1, 2, 3)})\n"
              "except lumsdk.HostUnreachableError as e:\n"
              "    print('refused', e.code, flush=True)\n"
              "input()\n"
              "print(client.get_colors([7])[7], flush=True)\n"
              "input()\n")
    process = subprocess.Popen([sys.executable, "-c", script], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               env=dict(os.environ, PYTHONPATH=str(PYTHON_DIR),
                                        LUMSDK_PIPE_BASE=pipe_base))
    late = None
    try:
        assert process.stdout.readline() == "waiting\n"
        assert process.stdout.readline() == "refused 1\n"
        late = Host(pipe_base=pipe_base)
        assert process.stdout.readline() == "connected\n"
        process.stdin.write("\n")
        process.stdin.flush()
        assert process.stdout.readline() == "RGB(r=1, g=2, b=3)\n"
        late.kill()
        assert process.stdout.readline() == "lost\n"
        # Exits while the healer keeps trying to reconnect.
        out, err = process.communicate("\n", timeout=WAIT)
    finally:
        if process.poll() is None:
            process.kill()
        if late is not None and late.process.poll() is None:
            late.stop()
    assert process.returncode == 0, err
    assert out == ""
    for crash in ("Fatal Python error", "Sanitizer", "Segmentation", "Traceback", "Aborted"):
        assert crash not in err, err


CALLS_WITHOUT_HOST = """
import lumsdk
c = lumsdk.connect()
print(c.connected, c.protocol.server_version, c.protocol.server_protocol_version)
calls = [
    lambda: c.device_count(),
    lambda: c.devices(),
    lambda: c.positions(device=0),
    lambda: c.led_for_key("A"),
    lambda: c.set_colors({1: (1, 1, 1)}),
    lambda: c.set_colors_async({1: (1, 1, 1)}),
    lambda: c.get_colors([1]),
    lambda: c.flush(),
    lambda: c.flush_async(),
    lambda: c.request_control(),
    lambda: c.release_control(),
    lambda: setattr(c, "priority", 10),
]
for call in calls:
    try:
        call()
        print("passed")
    except lumsdk.HostUnreachableError as e:
        print(e.code)
c.on_key(print).stop()  # accepted while away
print(c.priority)
try:
    lumsdk.connect(heal=False)
except lumsdk.HostUnreachableError as e:
    print("without healing:", e.code)
try:
    lumsdk.connect(heal=False, on_state=print)
except lumsdk.BadArgumentError as e:
    print("no on_state without healing")
"""


def test_before_any_host_calls_fail_at_once_and_setters_are_kept():
    result = run_python(CALLS_WITHOUT_HOST,
                        env={"LUMSDK_PIPE_BASE": f"nobody-{uuid.uuid4().hex[:8]}"})
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "False None 0"
    assert lines[1:13] == ["1"] * 12
    assert lines[13:] == ["10", "without healing: 1", "no on_state without healing"]


def test_the_idle_probe_reports_a_changed_device_count(host, healing):
    client, events = healing
    assert events.settled([State.CONNECTED]) == [State.CONNECTED]
    # lumhost cannot plug devices in while it runs: make the client believe
    # it knew one device more.
    count, devices = client._healer._signature
    client._healer._signature = (count + 1, devices)
    assert events.settled([State.CONNECTED, State.DEVICES_CHANGED]) == [
        State.CONNECTED, State.DEVICES_CHANGED]
    assert client._healer._signature[0] == count


def test_key_functions_added_after_a_restore_get_presses(host, healing):
    client, events = healing
    first = client.on_key(lambda key, pressed: None)
    first.stop()  # registered on the old host; none left at the restore
    host.kill()
    host.start()
    assert wait_until(lambda: State.RESTORED in events)
    presses = []
    handler = client.on_key(lambda key, pressed: presses.append(pressed))
    host.command("tap A")
    assert wait_until(lambda: len(presses) == 2)
    handler.stop()
