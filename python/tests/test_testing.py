"""The lumsdk.testing pytest plugin, used as an application's test suite
would: a small application and its tests, run by pytest in a process of its
own (the library reads its pipe name once per process, and this process
shares one host among its tests)."""

import textwrap

from conftest import PYTHON_DIR, WAIT, _find_lumhost, run_python

APP = '''
"""A small lighting application: an alert turns Esc red, and each key press
lights that key white."""
import lumsdk

def show_alert(client):
    client.set_colors({1: (255, 0, 0)})  # LED 1: Esc on the built-in desk

def light_pressed_keys(client):
    @client.on_key
    def lit(vendor_key, pressed):
        if pressed:
            client.set_colors({vendor_key: (255, 255, 255)})
'''

TESTS = '''
import time
import lumsdk
import pytest
import alert_app

def wait_until(predicate, timeout=20):
    end = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < end, "never happened"
        time.sleep(0.02)

def test_alert_turns_esc_red(lumhost):
    with lumsdk.connect() as client:
        alert_app.show_alert(client)
    assert lumhost.color(1) == (255, 0, 0)

def test_pressed_keys_light_up(lumhost):
    with lumsdk.connect() as client:
        client.reconnect()  # each test has a host of its own
        alert_app.light_pressed_keys(client)
        wait_until(lambda: any(c["registered"] for c in lumhost.state()["clients"]))
        lumhost.press("A")
        a = client.led_for_key("A")
        wait_until(lambda: lumhost.color(a) == (255, 255, 255))

def test_faults_as_a_script_drives_them(lumhost):
    # heal=False: the application sees the host go away itself.
    client = lumsdk.connect(heal=False)
    client.reconnect()
    lumhost.command("stall 300")
    begin = time.monotonic()
    assert client.device_count() == 5
    assert time.monotonic() - begin >= 0.3
    lumhost.command("stall 0")
    lumhost.command("unplug 1")
    assert client.device_count() == 4
    assert [d["plugged"] for d in lumhost.state()["devices"]] == [True, False, True, True, True]
    lumhost.command("restart")
    with pytest.raises(lumsdk.HostUnreachableError):
        client.device_count()
    client.reconnect()
    assert client.device_count() == 4  # the faults stay across a restart

def test_a_healing_client_comes_back(lumhost):
    states = []
    with lumsdk.connect(on_state=states.append) as client:
        client.reconnect()
        client.set_colors({1: (0, 0, 255)})
        lumhost.command("restart")  # the restarted host forgets the colour
        try:
            client.device_count()  # fails unless the healer's probe was quicker
        except lumsdk.HostUnreachableError:
            pass
        wait_until(lambda: lumsdk.ConnectionState.RESTORED in states)
        assert lumsdk.ConnectionState.LOST in states
        assert lumhost.color(1) == (0, 0, 255)  # put back by the healer
        assert client.device_count() == 5

@pytest.mark.lumhost("--profile", "builtin:iso-de")
def test_german_keyboard(lumhost):
    with lumsdk.connect() as client:
        client.reconnect()
        z = client.led_for_key("Z")
        positions = {p.led_id: p for p in client.positions()}
        assert z == 44 and positions[z].top < positions[client.led_for_key("A")].top

def test_refused_commands_raise(lumhost):
    from lumsdk.testing import LumhostError
    with pytest.raises(LumhostError, match="usage: stall"):
        lumhost.command("stall soon")
'''


def test_an_applications_suite_runs_against_the_fixture(tmp_path):
    (tmp_path / "alert_app.py").write_text(textwrap.dedent(APP))
    (tmp_path / "test_alert_app.py").write_text(textwrap.dedent(TESTS))
    result = run_python(
        ["-m", "pytest", "-q", "-p", "no:cacheprovider", "-p", "lumsdk.testing",
         "--lumhost", _find_lumhost(), str(tmp_path)],
        env={"LUMSDK_PIPE_BASE": None, "PYTHONPATH": f"{PYTHON_DIR}:{tmp_path}"},
        timeout=WAIT * 6, cwd=str(tmp_path))
    assert result.returncode == 0, result.stdout + result.stderr
    assert "6 passed" in result.stdout, result.stdout


def test_the_fixture_skips_without_a_program(tmp_path):
    (tmp_path / "test_nothing.py").write_text("def test_needs_host(lumhost):\n    pass\n")
    result = run_python(
        ["-m", "pytest", "-q", "-p", "no:cacheprovider", "-p", "lumsdk.testing", str(tmp_path)],
        env={"LUMHOST": None, "PATH": "/nonexistent", "LUMSDK_PIPE_BASE": None},
        cwd=str(tmp_path))
    assert result.returncode == 0, result.stdout + result.stderr
    assert "1 skipped" in result.stdout, result.stdout
