"""The Client against a lumhost process."""

import asyncio
import logging
import os
import shutil
import subprocess
import sys
import threading
import uuid

import pytest

import lumsdk
from conftest import PYTHON_DIR, WAIT, Host, run_python, wait_until


def test_connect_reports_the_versions(client):
    p = client.protocol
    assert (p.sdk_version, p.sdk_protocol_version) == (lumsdk.__version__, 5)
    assert p.server_version.startswith("lumhost") and p.server_protocol_version == 5
    assert p.breaking_changes is False


def test_devices_come_with_their_channels(client):
    devices = client.devices()
    assert [d.index for d in devices] == list(range(client.device_count()))
    assert devices[0].model == "Demo Keyboard K104" and devices[0].leds_count > 100
    hub = next(d for d in devices if d.channels)
    assert [c.total_leds for c in hub.channels] == [36, 40]
    assert [a.led_count for a in hub.channels[0].devices] == [12, 12, 12]


def test_positions_of_all_and_of_one_device(client):
    every = {p.led_id for p in client.positions()}
    keyboard = client.positions(device=0)
    assert keyboard and {p.led_id for p in keyboard} <= every
    assert all(p.width > 0 and p.height > 0 for p in keyboard)


def test_led_for_key_at_module_level_and_on_the_client(client):
    led = lumsdk.led_for_key("A")
    assert isinstance(led, int) and led > 0
    assert client.led_for_key("a") == led  # the host maps both cases to the key


def test_set_colors_takes_a_mapping_or_records_and_get_colors_reads_them(client):
    client.set_colors({1: (10, 20, 30), 2: (40, 50, 60)})
    client.set_colors([(3, 1, 2, 3), (4, 4, 5, 6)])
    assert client.get_colors([1, 2, 3, 4]) == {1: (10, 20, 30), 2: (40, 50, 60), 3: (1, 2, 3),
                                               4: (4, 5, 6)}
    assert client.get_colors([2], device=0) == {2: lumsdk.RGB(40, 50, 60)}


def test_buffer_then_flush_and_flush_async(client):
    client.buffer(0, {5: (7, 7, 7)})
    client.flush()
    assert client.get_colors([5]) == {5: (7, 7, 7)}
    client.buffer(0, [(5, 8, 8, 8)])
    assert client.flush_async().result(WAIT) is None
    assert client.get_colors([5]) == {5: (8, 8, 8)}


def test_exclusive_control_refuses_a_second_application_and_priority_is_kept(client):
    other = "import lumsdk\nc = lumsdk.connect()\ntry:\n  with c.exclusive(): print('granted')\n" \
            "except lumsdk.ControlRefusedError as e: print('refused', e.code)"
    with client.exclusive() as same:
        assert same is client
        assert run_python(other).stdout.strip() == "refused 0"
    assert run_python(other).stdout.strip() == "granted"
    client.priority = 200
    assert client.priority == 200


@pytest.mark.parametrize("call, named", [
    (lambda c: c.set_colors({500: (0, 0, 0)}), "500"),
    (lambda c: c.set_colors({1: (0, 256, 0)}), "green of LED 1 must be 0 to 255, not 256"),
    (lambda c: c.set_colors({1: "red"}), "'red'"),
    (lambda c: c.set_colors([(1, 0, 0, 0), (1, 1, 1, 1)]), "LED id 1 appears twice"),
    (lambda c: c.set_colors([(1.5, 0, 0, 0)]), "1.5"),
    (lambda c: c.set_colors({}), "no colours"),
    (lambda c: c.set_colors_async("red"), "'red'"),
    (lambda c: c.buffer(-1, {1: (0, 0, 0)}), "-1"),
    (lambda c: c.get_colors([1, 1]), "appears twice"),
    (lambda c: c.get_colors([]), "no LED ids"),
    (lambda c: c.positions(device=-2), "-2"),
    (lambda c: setattr(c, "priority", 256), "256"),
    (lambda c: c.led_for_key("1"), "'1'"),
    (lambda c: c.led_for_key("Ab"), "'Ab'"),
    (lambda c: c.on_key(42), "42"),
])
def test_bad_values_are_refused_before_the_call_by_name(client, call, named):
    with pytest.raises(lumsdk.BadArgumentError, match=named.replace("(", r"\(")) as e:
        call(client)
    assert e.value.code == 5 and isinstance(e.value, ValueError)


def test_library_errors_carry_their_codes(client, tmp_path):
    with pytest.raises(lumsdk.BadArgumentError) as e:  # the host has no device 99
        client.device(99)
    assert e.value.code == 5

    # The others need a process without a handshake, no host, an older host,
    # or no library.
    script = (
        "import sys, lumsdk\n"
        "def show(call):\n"
        "  try: call(); print('ok')\n"
        "  except lumsdk.LumsdkError as e: print(type(e).__name__, e.code); print(e, file=sys.stderr)\n"
        "show(lambda: lumsdk.led_for_key('A'))\n"
        "show(lambda: lumsdk.connect().get_colors([1]))\n")
    old = Host("--protocol", "3", pipe_base=f"lumsdk-pytest-old-{uuid.uuid4().hex[:8]}")
    try:
        older = run_python(script, env={"LUMSDK_PIPE_BASE": old.pipe_base})
    finally:
        old.stop()
    nobody = run_python(script, env={"LUMSDK_PIPE_BASE": f"nobody-{uuid.uuid4().hex[:8]}"})
    assert older.stdout.split("\n")[:2] == ["HandshakeRequiredError 3", "ProtocolMismatchError 4"]
    assert nobody.stdout.split("\n")[1] == "HostUnreachableError 1"

    # The library: LUMSDK_LIBRARY alone when set; else every place, named.
    missing = run_python(script, env={"LUMSDK_LIBRARY": str(tmp_path / "none.so")})
    assert missing.stdout.split("\n")[0] == "LibraryNotFoundError 0"
    assert "LUMSDK_LIBRARY=" + str(tmp_path / "none.so") in missing.stderr
    shutil.copytree(PYTHON_DIR / "lumsdk", tmp_path / "lumsdk",
                    ignore=shutil.ignore_patterns("_lib", "__pycache__"))
    elsewhere = run_python(script, env={"LUMSDK_LIBRARY": None, "PYTHONPATH": str(tmp_path)},
                           cwd=tmp_path)
    assert elsewhere.stdout.split("\n")[0] == "LibraryNotFoundError 0"
    for place in ("LUMSDK_LIBRARY: not set", f"inside the package: {tmp_path}", "system search"):
        assert place in elsewhere.stderr


def test_futures_resolve_exactly_once_and_work_with_asyncio(client):
    calls = []
    futures = [client.set_colors_async({10 + i % 5: (i, 0, 0)}) for i in range(200)]
    for f in futures:
        f.add_done_callback(calls.append)
    assert not futures[0].cancel()  # already queued: cannot be taken back
    for f in futures:
        assert f.result(WAIT) is None
    assert sorted(map(id, calls)) == sorted(map(id, futures))  # each once

    async def awaited():
        await asyncio.wrap_future(client.set_colors_async({10: (1, 2, 3)}))
        await asyncio.wrap_future(client.flush_async())
    asyncio.run(asyncio.wait_for(awaited(), WAIT))
    assert client.get_colors([10]) == {10: (1, 2, 3)}


@pytest.fixture
def key_a(client, host):
    led = client.led_for_key("A")
    yield led, lambda: host.command("tap A")


def test_a_key_press_reaches_the_function_until_it_stops(client, key_a):
    led, tap = key_a
    seen = []
    threads = set()

    @client.on_key
    def record(vendor_key, pressed):
        seen.append((vendor_key, pressed))
        threads.add(threading.get_ident())

    tap()
    assert wait_until(lambda: len(seen) == 2)
    assert seen == [(led, True), (led, False)]
    assert threading.get_ident() not in threads  # the library's thread
    record.stop()
    record.stop()
    client.reconnect()  # registers again; the stopped function stays stopped
    tap()
    assert not wait_until(lambda: len(seen) > 2, timeout=0.5)


def test_a_raising_function_is_logged_and_the_others_still_run(client, key_a, caplog):
    led, tap = key_a
    seen = []

    def broken(vendor_key, pressed):
        raise RuntimeError("broken key function")

    handlers = [client.on_key(broken), client.on_key(lambda k, p: seen.append(p))]
    with caplog.at_level(logging.ERROR, logger="lumsdk"):
        tap()
        tap()
        assert wait_until(lambda: len(seen) == 4)
    for h in handlers:
        h.stop()
    errors = [r for r in caplog.records if "broken key function" in str(r.exc_info)]
    assert len(errors) == 4


def test_functions_may_call_back_into_the_client(client, key_a):
    led, tap = key_a
    done = threading.Event()
    results = []

    @client.on_key
    def echo(vendor_key, pressed):
        if not pressed:
            return
        client.set_colors({vendor_key: (0, 0, 99)})
        results.append(client.get_colors([vendor_key]))
        future = client.set_colors_async({vendor_key: (0, 99, 0)})
        # A completion that calls in again, on the library's worker thread.
        future.add_done_callback(lambda f: (results.append(client.get_colors([vendor_key])),
                                            done.set()))
        with pytest.raises(lumsdk.LumsdkError, match="may not connect"):
            client.reconnect()

    tap()
    assert done.wait(WAIT)
    echo.stop()
    assert results == [{led: (0, 0, 99)}, {led: (0, 99, 0)}]


def test_closing_a_client_stops_its_functions_only(client, key_a, host):
    led, tap = key_a
    mine, other = [], []
    client.on_key(lambda k, p: mine.append(p))
    with lumsdk.connect() as second:
        second.on_key(lambda k, p: other.append(p))
    with pytest.raises(lumsdk.LumsdkError, match="closed"):
        second.devices()
    tap()
    assert wait_until(lambda: len(mine) == 2)
    assert other == []


def test_a_future_fails_with_the_error_when_the_host_went_away():
    gone = Host(pipe_base=f"lumsdk-pytest-gone-{uuid.uuid4().hex[:8]}")
    script = ("import lumsdk\nc = lumsdk.connect()\nprint('connected', flush=True)\ninput()\n"
              "try: c.set_colors_async({1: (1, 1, 1)}).result(20); print('ok')\n"
              "except lumsdk.LumsdkError as e: print(type(e).__name__, e.code)\n")
    process = subprocess.Popen([sys.executable, "-c", script], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, text=True,
                               env=dict(os.environ, PYTHONPATH=str(PYTHON_DIR),
                                        LUMSDK_PIPE_BASE=gone.pipe_base))
    try:
        assert process.stdout.readline() == "connected\n"
    finally:
        gone.stop()
    out, _ = process.communicate("\n", timeout=WAIT * 2)
    assert out == "HostUnreachableError 1\n"
