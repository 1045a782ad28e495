"""Healing: a client that survives host restarts.

The C library keeps a broken connection broken until the next handshake.
A healing client remembers what the application asked the host for (its
intent), notices a lost host (a call failing with "host unreachable", or a
probe of an idle connection), handshakes again with backoff on a thread of
its own, and restores the intent: priority, control, key registration, then
every remembered colour in one call.
"""

from __future__ import annotations

import array
import enum
import logging
import random
import threading
import time
import weakref
from collections import deque
from typing import Any, Callable, Deque, Dict, List, Optional, Tuple, TypeVar

from . import _library as _lib
from .errors import ErrorCode, HostUnreachableError, LibraryClosedError, LumsdkError
from .records import ProtocolDetails

__all__ = ["ConnectionState", "StateHandler", "StateFunction", "Healer"]

log = logging.getLogger("lumsdk")

R = TypeVar("R")
Color = Tuple[int, int, int]
# (count, ((type, model, LED count) of each device)): what devices_changed compares.
Signature = Tuple[int, Tuple[Tuple[int, bytes, int], ...]]


class ConnectionState(enum.Enum):
    """What :meth:`Client.on_state` functions are told."""

    CONNECTED = "connected"
    """The first handshake succeeded (also when the host started after the client)."""
    LOST = "lost"
    """The host went away; calls fail at once with HostUnreachableError until it is back."""
    RESTORED = "restored"
    """Reconnected, and priority, control, key registration and colours are back."""
    DEVICES_CHANGED = "devices_changed"
    """The host's devices differ from before (after a restore, or hot-plug while connected)."""


StateFunction = Callable[[ConnectionState], None]


class StateHandler:
    """A function registered with :meth:`Client.on_state`; :meth:`stop` (or
    :meth:`close`) unregisters it."""

    def __init__(self, function: StateFunction, healer: "Healer") -> None:
        self.function = function
        self._healer = healer

    def stop(self) -> None:
        """Stops calls to the function; safe to call more than once and from
        inside the function."""
        self._healer.unsubscribe(self)

    close = stop
    cancel = stop

    def __repr__(self) -> str:
        return f"<StateHandler {self.function!r}>"


class Healer:
    """The intent, the state and the healer thread of one Client.

    ``_lock`` guards every attribute below it in ``__init__``; it is never
    held while the library or the application's code runs. ``_attempt_lock``
    serialises reconnection attempts (handshake and restore, which do run
    the library); it is taken before ``_lock``, never after.
    """

    def __init__(self, lib: _lib.Library, protocol: ProtocolDetails, *, connected: bool,
                 handshake: Callable[[], ProtocolDetails],
                 on_handshake: Callable[[ProtocolDetails], None],
                 keys_wanted: Callable[[], bool], register_keys: Callable[[], None],
                 probe_interval: float, backoff_initial: float, backoff_max: float,
                 subscribers: List[StateFunction]) -> None:
        self._lib = lib
        self._handshake = handshake
        self._on_handshake = on_handshake
        self._keys_wanted = keys_wanted
        self._register_keys = register_keys
        self._probe_interval = probe_interval
        self._backoff_initial = backoff_initial
        self._backoff_max = backoff_max
        self.callback_errors = 0
        """Exceptions raised by state functions (logged, never propagated)."""

        self._attempt_lock = threading.Lock()
        self._lock = threading.Lock()
        self._wake = threading.Condition(self._lock)  # the healer thread waits here
        self._drained = threading.Condition(self._lock)  # waits for calls in flight to end
        self._protocol = protocol
        self._up = connected  # calls go through to the library
        self._ever_connected = connected
        self._stopping = False
        self._inflight = 0
        self._last_call = time.monotonic()
        self._backoff = backoff_initial
        self._next_attempt = 0.0
        # Each state with the functions subscribed when it happened.
        self._events: Deque[Tuple[ConnectionState, Tuple[StateHandler, ...]]] = deque()
        self._subscribers = [StateHandler(f, self) for f in subscribers]
        self._signature: Optional[Signature] = None
        # Intent: what the application asked for through this client.
        self._colors: Dict[int, Color] = {}
        # Colour calls not yet merged into _colors: raw LedColorC records by
        # their LED ids, oldest first. A call with the same LEDs as a pending
        # one replaces it, so an animation costs no merging per frame.
        self._frames: Dict[bytes, bytes] = {}
        self._buffered: Dict[int, Color] = {}
        self._priority: Optional[int] = None
        self._control = False
        self._version = 0  # bumped by every change of the remembered colours
        self._epoch = 0  # bumped by every restore: failures from before it are old news

        if connected:
            self._queue(ConnectionState.CONNECTED)
        self._thread = threading.Thread(target=self._run, name="lumsdk-healer", daemon=True)
        _healers.add(self)
        self._thread.start()

    # The call gate ----------------------------------------------------------

    @property
    def connected(self) -> bool:
        return self._up

    def call(self, what: str, function: Callable[..., R], *args: Any,
             remember: Optional[Callable[[], None]] = None) -> Tuple[R, int]:
        """Calls ``function`` when the host is there; otherwise fails at once
        with HostUnreachableError. ``remember`` records the call's intent,
        in the same step as the check, so a restore cannot miss it."""
        with self._lock:
            if remember is not None:
                remember()
            if not self._up:
                raise HostUnreachableError(
                    f"{what} failed with error 1 (host unreachable: reconnecting)", 1)
            self._inflight += 1
            epoch = self._epoch
        try:
            result, error = self._lib.call(function, *args)
        finally:
            with self._lock:
                self._inflight -= 1
                self._last_call = time.monotonic()
                if self._inflight == 0:
                    self._drained.notify_all()
        if error == ErrorCode.HOST_UNREACHABLE:
            self.lost(epoch)
        return result, error

    @property
    def epoch(self) -> int:
        return self._epoch

    def lost(self, epoch: Optional[int] = None) -> None:
        """The host went away: calls fail at once from now on, and the healer
        thread reconnects. ``epoch``: when the failed call started; a call
        that started before the latest restore says nothing of the new
        connection."""
        with self._lock:
            if not self._up or self._stopping or epoch not in (None, self._epoch):
                return
            self._up = False
            self._backoff = self._backoff_initial
            self._next_attempt = 0.0
            self._queue(ConnectionState.LOST)
            self._wake.notify_all()

    # Intent (each called with _lock held, through ``call(remember=...)``) ----

    def remember_colors(self, records: bytes) -> None:
        """``records``: the raw LedColorC records of a colour call."""
        ids = b"".join(records[i::16] for i in range(4))  # each record's first int
        if self._frames.pop(ids, None) is None and len(self._frames) >= 16:
            self._merge()
        self._frames[ids] = records
        self._version += 1

    def _merge(self) -> None:
        for records in self._frames.values():
            flat = array.array("i", records)
            self._colors.update(zip(flat[0::4], zip(flat[1::4], flat[2::4], flat[3::4])))
        self._frames.clear()

    def remember_buffered(self, colors: Dict[int, Color]) -> None:
        self._buffered.update(colors)

    def remember_flush(self) -> None:
        if self._buffered:
            self._merge()
            self._colors.update(self._buffered)
            self._buffered.clear()
            self._version += 1

    def remember_priority(self, priority: int) -> None:
        self._priority = priority

    def remember_control(self, held: bool) -> None:
        self._control = held

    def locked(self, function: Callable[[], None]) -> None:
        """Runs ``function`` (an intent update) under the lock."""
        with self._lock:
            function()

    # State functions -----------------------------------------------------------

    def subscribe(self, function: StateFunction) -> StateHandler:
        handler = StateHandler(function, self)
        with self._lock:
            self._subscribers.append(handler)
        return handler

    def unsubscribe(self, handler: StateHandler) -> None:
        with self._lock:
            if handler in self._subscribers:
                self._subscribers.remove(handler)

    def _queue(self, state: ConnectionState) -> None:
        """Queues state for the functions subscribed now (the lock is held):
        one subscribed later has not seen what came before it."""
        self._events.append((state, tuple(self._subscribers)))

    def _deliver(self, state: ConnectionState, subscribed: Tuple[StateHandler, ...]) -> None:
        with self._lock:
            handlers = [h for h in subscribed if h in self._subscribers]  # not the stopped ones
        for handler in handlers:
            try:
                handler.function(state)
            except BaseException:  # noqa: BLE001 - the healer thread must go on
                self.callback_errors += 1
                log.exception("lumsdk: exception in state function %r (%s)", handler.function,
                              state.value)

    # Lifetime ------------------------------------------------------------------

    def stop(self, timeout: float = 10.0) -> None:
        """Ends the healer thread and waits for it (unless called on it)."""
        with self._lock:
            self._stopping = True
            self._up = False
            self._wake.notify_all()
        _healers.discard(self)
        if threading.current_thread() is not self._thread:
            self._thread.join(timeout)
            if self._thread.is_alive():
                log.warning("lumsdk: the healer thread is still in a state function; not waiting")

    # The healer thread -----------------------------------------------------------

    def _run(self) -> None:
        try:
            if self._up:
                signature = self._take_signature()
                with self._lock:
                    self._signature = signature
            while True:
                with self._lock:
                    if self._stopping:
                        return
                    if self._events:
                        state, subscribed = self._events.popleft()
                    else:
                        state = None
                        now = time.monotonic()
                        if not self._up:
                            due = self._next_attempt
                        else:
                            due = self._last_call + self._probe_interval
                        if now < due:
                            self._wake.wait(due - now)
                            continue
                        reconnect = not self._up
                if state is not None:
                    self._deliver(state, subscribed)
                elif reconnect:
                    self._reconnect()
                else:
                    self._probe()
        except LibraryClosedError:
            pass  # the interpreter is exiting
        except BaseException:  # noqa: BLE001 - never let the thread die silently
            log.exception("lumsdk: the healer thread failed")

    def _reconnect(self) -> None:
        if self.attempt(only_if_lost=True) is not None:
            return
        with self._lock:
            # Each wait is drawn from [0.5, 1] x the backoff, so that many
            # clients of one host do not knock in step.
            self._next_attempt = time.monotonic() + random.uniform(0.5, 1.0) * self._backoff
            self._backoff = min(self._backoff * 2, self._backoff_max)

    def _probe(self) -> None:
        """One cheap call on an idle connection: notices a lost host, and a
        changed device count (hot-plug)."""
        try:
            count, error = self.call("probe", self._lib.VelmoraGetDeviceCount)
        except HostUnreachableError:
            return
        if error != 0 or count < 0:
            return
        with self._lock:
            known = self._signature
        if known is not None and count != known[0]:
            signature = self._take_signature()
            if signature is None:
                return  # the next probe tries again
            with self._lock:
                self._signature = signature
                self._queue(ConnectionState.DEVICES_CHANGED)

    def _take_signature(self) -> Optional[Signature]:
        count, error = self._lib.call(self._lib.VelmoraGetDeviceCount)
        if count < 0:
            return None
        devices = []
        for index in range(count):
            info, error = self._lib.call(self._lib.VelmoraGetDeviceInfo, index)
            if not info:
                return None
            d = info.contents
            devices.append((d.type, d.model or b"", d.ledsCount))
        return count, tuple(devices)

    # Reconnecting and restoring --------------------------------------------------

    def attempt(self, only_if_lost: bool = False) -> Optional[ProtocolDetails]:
        """One handshake and restore; returns the protocol details, or None
        when the host is not (or no longer) there. Used by the healer thread
        (``only_if_lost``: not again after a reconnect() that healed) and by
        ``Client.reconnect()``."""
        with self._attempt_lock:
            with self._lock:
                if self._stopping:
                    return None
                if only_if_lost and self._up:
                    return self._protocol
                was_up, first = self._up, not self._ever_connected
                if not was_up:
                    # Calls still in flight on the broken connection end within
                    # the library's time-out; none start while the host is away.
                    self._drained.wait_for(lambda: self._inflight == 0, timeout=15.0)
            try:
                protocol = self._handshake()
            except HostUnreachableError:
                return None
            if not self._restore():
                return None
            signature = self._take_signature()
            with self._lock:
                if self._stopping:
                    return None
                self._ever_connected = True
                if first:
                    self._queue(ConnectionState.CONNECTED)
                elif not was_up:
                    self._queue(ConnectionState.RESTORED)
                if (not first and signature is not None and self._signature is not None
                        and signature != self._signature):
                    self._queue(ConnectionState.DEVICES_CHANGED)
                if signature is not None:
                    self._signature = signature
                self._protocol = protocol
                self._wake.notify_all()
            self._on_handshake(protocol)
            return protocol

    def _restore(self) -> bool:
        """Priority, control, key registration, then the colours in one call;
        False when the host went away again. Ends with calls let through."""

        def step(what: str, function: Callable[..., Any], *args: Any) -> bool:
            result, error = self._lib.call(function, *args)
            if error == ErrorCode.HOST_UNREACHABLE:
                return False
            if not result:
                log.warning("lumsdk: restoring %s failed with error %d", what, error)
            return True

        with self._lock:
            priority, control = self._priority, self._control
        if priority is not None and not step("the priority", self._lib.VelmoraSetLayerPriority,
                                             priority):
            return False
        if control and not step("exclusive control", self._lib.VelmoraRequestControl, 0):
            return False
        if self._keys_wanted():
            try:
                self._register_keys()
            except HostUnreachableError:
                return False
            except LumsdkError as e:
                log.warning("lumsdk: restoring the key registration failed: %s", e)
        while True:
            with self._lock:
                version = self._version
                self._merge()
                colors = list(self._colors.items())
            if colors:
                records = (_lib.LedColorC * len(colors))(
                    *((led, r, g, b) for led, (r, g, b) in colors))
                if not step(f"{len(colors)} colours", self._lib.VelmoraSetLedsColors,
                            len(colors), records):
                    return False
            with self._lock:
                # Colours remembered while this one was sent go out in
                # another; once none came, calls go through themselves.
                if version == self._version or self._stopping:
                    self._up = not self._stopping
                    self._epoch += 1
                    self._last_call = time.monotonic()
                    return True


# Every running healer, stopped before the library is unloaded at exit.
_healers: "weakref.WeakSet[Healer]" = weakref.WeakSet()


def stop_all() -> None:
    for healer in list(_healers):
        healer.stop()
