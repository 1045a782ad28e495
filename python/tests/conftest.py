"""Fixtures: a lumhost process on pipes of its own, and clients of it.

The library reads LUMSDK_PIPE_BASE once, at the first handshake of the
process, so the variable is set here, before any test connects, and every
test of this process shares the one host. Tests that need another host or
a fresh process run Python in a subprocess (``run_python``).

LUMHOST names the lumhost program and LUMSDK_LIBRARY the library; without
them, the repository's build trees are searched.
"""

import os
import subprocess
import sys
import time
import uuid
from pathlib import Path

import pytest

PYTHON_DIR = Path(__file__).resolve().parents[1]
REPOSITORY = PYTHON_DIR.parent
sys.path.insert(0, str(PYTHON_DIR))

from lumsdk.testing import _end_within, _Output  # noqa: E402  (the package from this tree)

os.environ["LUMSDK_PIPE_BASE"] = f"lumsdk-pytest-{os.getpid()}-{uuid.uuid4().hex[:8]}"

WAIT = 20.0  # generous upper bound for anything to happen


def _sanitizer_missing(path):
    """Why a sanitized build cannot be loaded into this process, or None: a
    library built with a sanitizer stops the process unless its runtime was
    loaded first (LD_PRELOAD)."""
    data = path.read_bytes()
    with open("/proc/self/maps", encoding="utf-8", errors="replace") as maps:
        loaded = maps.read()
    for runtime in ("libasan.so", "libtsan.so"):
        if runtime.encode() in data and runtime not in loaded:
            return runtime
    return None


def _find_library():
    """Without LUMSDK_LIBRARY, the tests take the first build tree's library
    that can be loaded here (the package itself looks in no build tree)."""
    if os.environ.get("LUMSDK_LIBRARY") or sys.platform == "win32":
        return
    for preset in ("linux", "linux-asan", "linux-tsan"):
        path = REPOSITORY / "build" / preset / "bin" / "libLUMSDK.so"
        if path.is_file() and not _sanitizer_missing(path):
            os.environ["LUMSDK_LIBRARY"] = str(path)
            return


_find_library()


def _find_lumhost():
    if os.environ.get("LUMHOST"):
        return os.environ["LUMHOST"]
    for preset in ("linux", "linux-asan", "linux-tsan"):
        path = REPOSITORY / "build" / preset / "bin" / "lumhost"
        if path.is_file():
            return str(path)
    pytest.skip("no lumhost program: build it or set LUMHOST")


class Host:
    """A lumhost process; ``command`` types a line on its console; every
    output line is kept in ``lines``."""

    def __init__(self, *args, pipe_base=None):
        self.pipe_base = pipe_base or os.environ["LUMSDK_PIPE_BASE"]
        self.start(*args)

    def start(self, *args):
        """Starts lumhost (again) on this host's pipes; returns once it serves."""
        env = dict(os.environ, LUMSDK_PIPE_BASE=self.pipe_base)
        self.process = subprocess.Popen(
            [_find_lumhost(), "--no-view", *args], stdin=subprocess.PIPE,
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env, text=True, bufsize=1)
        self._output = _Output(self.process)
        self.lines = self._output.lines
        self.wait_for("lumhost: serving")

    def kill(self):
        """Ends lumhost with SIGKILL: no goodbye to its clients."""
        self.process.kill()
        self.process.wait()
        self.process.stdin.close()

    def wait_for(self, text, timeout=WAIT):
        if self._output.wait_for(text, timeout) is None:
            raise AssertionError(f"lumhost never printed {text!r}:\n" + "\n".join(self.lines))

    def command(self, line):
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()

    def stop(self):
        try:
            self.command("quit")
            self.process.stdin.close()
        except OSError:
            pass
        _end_within(self.process, WAIT)


@pytest.fixture(scope="session")
def host():
    h = Host()
    yield h
    h.stop()


@pytest.fixture
def client(host):
    import lumsdk

    with lumsdk.connect() as c:
        yield c


def run_python(args, env=None, timeout=WAIT * 3, cwd=None):
    """Runs Python (a ``-c`` text or a script with arguments) with the
    package importable; returns the completed process. ``env`` entries
    that are None are removed."""
    full_env = dict(os.environ, PYTHONPATH=str(PYTHON_DIR))
    full_env.update(env or {})
    full_env = {k: v for k, v in full_env.items() if v is not None}
    argv = [sys.executable, "-c", args] if isinstance(args, str) else [sys.executable, *args]
    return subprocess.run(argv, env=full_env, capture_output=True, text=True, timeout=timeout,
                          cwd=cwd)


def wait_until(predicate, timeout=WAIT):
    end = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > end:
            return False
        time.sleep(0.01)
    return True
