"""Whole processes: interpreter exit with callbacks pending, the command
line, the examples and the documented install."""

import json
import os
import shutil
import signal
import subprocess
import sys
import threading
import time

import pytest

from conftest import PYTHON_DIR, REPOSITORY, WAIT, run_python, wait_until

# Started in a process of its own: key presses keep arriving, one key
# function is still running (and calling into the library) and completions
# are still queued when the interpreter exits.
EXIT_SCRIPT = """
import threading, time, lumsdk
client = lumsdk.connect()
running = threading.Event()

@client.on_key
def slow(vendor_key, pressed):
    running.set()
    time.sleep(0.3)
    client.set_colors({1: (1, 2, 3)})

print("ready", flush=True)
assert running.wait(20)
for i in range(100):
    client.set_colors_async({i: (i, i, i)}).add_done_callback(lambda f: client.get_colors([1]))
print("exiting", flush=True)
"""


def test_interpreter_exit_with_callbacks_pending_neither_hangs_nor_crashes(host):
    process = subprocess.Popen([sys.executable, "-c", EXIT_SCRIPT], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True,
                               env=dict(os.environ, PYTHONPATH=str(PYTHON_DIR)))
    assert process.stdout.readline() == "ready\n"
    stop = threading.Event()

    def press():
        while not stop.is_set():
            host.command("tap A")
            time.sleep(0.02)

    presser = threading.Thread(target=press)
    presser.start()
    try:
        out, err = process.communicate(timeout=WAIT * 2)
    finally:
        stop.set()
        presser.join()
    assert process.returncode == 0, err
    assert out == "exiting\n"
    for crash in ("Fatal Python error", "Sanitizer", "Segmentation", "terminate", "Aborted"):
        assert crash not in err, err


def test_cli_lists_devices_and_positions_as_text_and_json(host):
    text = run_python(["-m", "lumsdk", "devices"])
    assert text.returncode == 0 and "0: Demo Keyboard K104" in text.stdout
    devices = json.loads(run_python(["-m", "lumsdk", "--json", "devices"]).stdout)
    assert devices[0]["model"] == "Demo Keyboard K104" and "channels" in devices[4]
    positions = json.loads(run_python(["-m", "lumsdk", "positions", "--device", "1", "--json"]).stdout)
    assert positions and set(positions[0]) == {"led_id", "top", "left", "height", "width"}


def test_cli_set_keeps_colours_while_it_runs(host, client):
    led = client.led_for_key("Q")
    process = subprocess.Popen([sys.executable, "-m", "lumsdk", "set", "--json", "--for", "30",
                                "Q=#ff8000", "7=00ff00"], stdout=subprocess.PIPE, text=True,
                               env=dict(os.environ, PYTHONPATH=str(PYTHON_DIR)))
    try:
        assert json.loads(process.stdout.readline()) == {str(led): "#ff8000", "7": "#00ff00"}
        assert client.get_colors([led, 7]) == {led: (255, 128, 0), 7: (0, 255, 0)}
    finally:
        process.send_signal(signal.SIGINT)
        assert process.wait(WAIT) == 0
    bad = run_python(["-m", "lumsdk", "set", "Q=red"])
    assert bad.returncode == 2 and "'Q=red' is not KEY_OR_ID=#rrggbb" in bad.stderr


def test_cli_keys_prints_presses(host):
    process = subprocess.Popen([sys.executable, "-m", "lumsdk", "keys", "--json"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               env=dict(os.environ, PYTHONPATH=str(PYTHON_DIR)))
    try:
        assert "listening" in process.stderr.readline()
        host.command("tap B")
        first = json.loads(process.stdout.readline())
        assert first["pressed"] is True and first["vendor_key"] > 0
    finally:
        process.send_signal(signal.SIGINT)
        assert process.wait(WAIT) == 0


def test_cli_without_a_host_says_so():
    result = run_python(["-m", "lumsdk", "devices"], env={"LUMSDK_PIPE_BASE": "nobody-cli"})
    assert result.returncode == 1 and "HostUnreachable" not in result.stderr
    assert "handshake failed with error 1 (host unreachable)" in result.stderr


def _start_example(name, *args):
    process = subprocess.Popen([sys.executable, str(PYTHON_DIR / "examples" / name), *args],
                               stdout=subprocess.PIPE, text=True,
                               env=dict(os.environ, PYTHONPATH=str(PYTHON_DIR)))
    assert process.stdout.readline().startswith("ready")
    return process


def test_heatmap_example_warms_pressed_keys(host, client):
    led = client.led_for_key("H")
    process = _start_example("heatmap.py", "--seconds", "4")
    host.command("tap H")
    host.command("tap H")
    assert wait_until(lambda: client.get_colors([led])[led] != (0, 0, 0))
    out, _ = process.communicate(timeout=WAIT)
    assert process.returncode == 0 and "heatmap: 2 presses, 1 keys warmed" in out


def test_meter_example_lights_the_number_row(host, client):
    process = _start_example("meter.py", "--seconds", "1.5", "--interval", "0.2")
    row = [18, 19, 20, 21, 22, 23, 24, 25, 26, 27]  # "1" to "0" on the built-in desk
    assert wait_until(lambda: all(c != (0, 0, 0) for c in client.get_colors(row).values()))
    out, _ = process.communicate(timeout=WAIT)
    assert process.returncode == 0 and "on 10 keys" in out


def test_documented_install_runs_the_cli(host, tmp_path):
    library = os.environ.get("LUMSDK_LIBRARY")
    if not library:
        pytest.skip("set LUMSDK_LIBRARY to the library to bundle")
    source = tmp_path / "python"
    shutil.copytree(PYTHON_DIR, source, ignore=shutil.ignore_patterns(
        "build", "*.egg-info", "__pycache__", ".pytest_cache", "_lib"))
    venv = tmp_path / ".venv"
    subprocess.run(["/usr/bin/python3", "-m", "venv", "--system-site-packages", str(venv)],
                   check=True, timeout=WAIT * 6)
    subprocess.run([str(venv / "bin" / "pip"), "install", "--no-index", "--no-build-isolation",
                    str(source)], check=True, capture_output=True, timeout=WAIT * 6, cwd=tmp_path)
    # Without LUMSDK_LIBRARY and outside the repository: the bundled copy.
    env = {k: v for k, v in os.environ.items() if k not in ("LUMSDK_LIBRARY", "PYTHONPATH")}
    result = subprocess.run([str(venv / "bin" / "python"), "-m", "lumsdk", "devices"], env=env,
                            cwd=tmp_path, capture_output=True, text=True, timeout=WAIT * 3)
    assert result.returncode == 0, result.stderr
    assert "0: Demo Keyboard K104" in result.stdout
    assert REPOSITORY not in tmp_path.parents
