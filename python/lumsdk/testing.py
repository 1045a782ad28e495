"""Test an application against lumhost, the stand-in host, from pytest.

The ``lumhost`` fixture starts a lumhost process on pipes of its own and
hands the test an object that drives it through lumhost's control API::

    def test_alert_turns_esc_red(lumhost):
        my_app.show_alert()                        # code under test, via lumsdk
        assert lumhost.color(1) == (255, 0, 0)     # what a user would see
        lumhost.command("restart")                 # the host goes away and back
        lumhost.press("A")

The plugin is registered through the ``pytest11`` entry point of the
package; without the installed package, ``-p lumsdk.testing`` loads it.
The program is found through ``--lumhost PATH``, the ``LUMHOST`` variable,
or ``lumhost`` on the search path. ``@pytest.mark.lumhost("--profile",
"builtin:iso-de")`` adds command-line options for one test.

The library reads ``LUMSDK_PIPE_BASE`` once per process, at its first
handshake: the fixture sets it (to a name private to the test run) when it
is not set, and serves that name, so every test of a run shares it and
each gets a fresh host.
"""

import json
import os
import queue
import secrets
import shutil
import subprocess
import threading
import time
import urllib.error
import urllib.request
import uuid
from typing import Any, Dict, List, Optional, Sequence, Tuple

import pytest

WAIT = 20.0  # seconds for lumhost to start, answer or stop


class LumhostError(Exception):
    """lumhost did not start, refused a command, or its API failed."""


class _Output:
    """The lines a process prints (stdout, text mode), read by a thread of
    their own as they come."""

    def __init__(self, process: "subprocess.Popen[str]"):
        self.lines: List[str] = []
        self._process = process
        self._new: "queue.Queue[str]" = queue.Queue()
        self._ended = False
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self) -> None:
        assert self._process.stdout is not None
        for line in self._process.stdout:
            self.lines.append(line.rstrip("\n"))
            self._new.put(line)
        self._ended = True
        self._new.put("")

    def wait_for(self, text: str, timeout: float = WAIT) -> Optional[str]:
        """The first line that contains ``text``; None when the output
        ended, or ``timeout`` seconds passed, without one."""
        end = time.monotonic() + timeout
        seen = 0
        while True:
            # Counts what was looked at (not len(lines)): a line added
            # meanwhile is looked at next round.
            fresh = self.lines[seen:]
            for line in fresh:
                if text in line:
                    return line
            seen += len(fresh)
            left = end - time.monotonic()
            if left <= 0 or (self._ended and self._new.empty()):
                return None
            try:
                self._new.get(timeout=min(left, 0.2))
            except queue.Empty:
                pass


def _end_within(process: "subprocess.Popen[str]", timeout: float) -> None:
    """Waits ``timeout`` seconds for a process asked to quit, then kills it."""
    try:
        process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


class Lumhost:
    """A running lumhost, driven through its HTTP control API."""

    def __init__(self, program: str, args: Sequence[str] = (), pipe_base: Optional[str] = None):
        self.pipe_base = pipe_base or os.environ.get("LUMSDK_PIPE_BASE") or _private_pipe_base()
        self._token = secrets.token_hex(16)
        argv = [program, "--no-view", "--no-input", "--http", "127.0.0.1:0",
                "--http-token", self._token, "--pipe-base", self.pipe_base, *args]
        env = dict(os.environ, LUMSDK_PIPE_BASE=self.pipe_base)
        try:
            self.process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                            stderr=subprocess.STDOUT, env=env, text=True)
        except OSError as error:
            raise LumhostError(f"cannot run {program}: {error}") from error
        self._output = _Output(self.process)
        self.lines = self._output.lines
        # The address as printed carries the token (?token=...), for a browser;
        # API requests go to the bare address and send the token as a header.
        self.url = self._wait_for("the desk page is at ").split("the desk page is at ", 1)[1]
        self._base = self.url.split("?", 1)[0].rstrip("/")
        self._wait_for("lumhost: serving")

    def _wait_for(self, text: str) -> str:
        line = self._output.wait_for(text)
        if line is None:
            self.stop()
            raise LumhostError(f"lumhost never printed {text!r}:\n" + "\n".join(self.lines))
        return line.strip()

    def _call(self, method: str, path: str, body: Optional[Dict[str, Any]] = None) -> Any:
        data = json.dumps(body).encode() if body is not None else None
        request = urllib.request.Request(
            self._base + path, data=data, method=method,
            headers={"Authorization": "Bearer " + self._token,
                     "Content-Type": "application/json"})
        try:
            with urllib.request.urlopen(request, timeout=WAIT) as answer:
                return json.loads(answer.read().decode("utf-8"))
        except (urllib.error.URLError, OSError, ValueError) as error:
            raise LumhostError(f"{method} {path}: {error}") from error

    def state(self) -> Dict[str, Any]:
        """Devices (each LED with the colour a user would see), clients,
        who holds control, the faults in force: lumhost's /api/state."""
        return self._call("GET", "/api/state")

    def command(self, line: str) -> str:
        """Runs one console command (``stall 200``, ``unplug 1``,
        ``restart``, ``fail VelmoraGetDeviceCount 1``); returns its output.
        Raises LumhostError when lumhost refuses it."""
        answer = self._call("POST", "/api/command", {"command": line})
        if not answer.get("ok"):
            raise LumhostError(f"{line!r}: {answer.get('output')}")
        return answer.get("output", "")

    def color(self, led: int, device: Optional[int] = None) -> Tuple[int, int, int]:
        """The colour LED ``led`` shows (on ``device``, a profile index, or
        the first device that has it)."""
        for index, dev in enumerate(self.state()["devices"]):
            if device is not None and index != device:
                continue
            for entry in dev["leds"]:
                if entry["id"] == led:
                    text = entry["color"]
                    return (int(text[1:3], 16), int(text[3:5], 16), int(text[5:7], 16))
        raise LumhostError(f"no LED {led}" + ("" if device is None else f" on device {device}"))

    def press(self, key: str) -> str:
        """Presses and releases a key (a label such as ``A`` or ``Esc``, or
        ``#N`` for key id N) for every client registered for key presses."""
        return self.command("tap " + key)

    def stop(self) -> int:
        """Stops lumhost (its clients see it go away); returns its exit code."""
        if self.process.poll() is None:
            try:
                self._call("POST", "/api/command", {"command": "quit"})
            except LumhostError:
                pass
            _end_within(self.process, WAIT)
        return self.process.returncode

    def __enter__(self) -> "Lumhost":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.stop()


def _private_pipe_base() -> str:
    return f"lumsdk-test-{os.getpid()}-{uuid.uuid4().hex[:8]}"


def find_lumhost(config: Optional[Any] = None) -> Optional[str]:
    """The lumhost program: --lumhost, LUMHOST, then the search path."""
    if config is not None and config.getoption("lumhost_program", None):
        return config.getoption("lumhost_program")
    return os.environ.get("LUMHOST") or shutil.which("lumhost")


def pytest_addoption(parser: Any) -> None:
    parser.getgroup("lumsdk").addoption(
        "--lumhost", dest="lumhost_program", default=None,
        help="the lumhost program for the lumhost fixture (default: $LUMHOST, then PATH)")


def pytest_configure(config: Any) -> None:
    config.addinivalue_line(
        "markers", "lumhost(*args): extra lumhost command-line options for the lumhost fixture")
    # Before any test connects: the library reads the name once per process.
    os.environ.setdefault("LUMSDK_PIPE_BASE", _private_pipe_base())


@pytest.fixture
def lumhost(request: Any):
    """A fresh lumhost on this run's pipes, stopped after the test."""
    program = find_lumhost(request.config)
    if not program:
        pytest.skip("no lumhost program: give --lumhost PATH or set LUMHOST")
    args: List[str] = []
    for mark in request.node.iter_markers("lumhost"):
        args.extend(str(a) for a in mark.args)
    host = Lumhost(program, args)
    yield host
    host.stop()
