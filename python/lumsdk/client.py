"""The Client: every call of the library as a Python method."""

from __future__ import annotations

import array
import ctypes
import itertools
import logging
import operator
import threading
from concurrent.futures import Future
from contextlib import contextmanager
from typing import (
    Any,
    Callable,
    Dict,
    Iterable,
    Iterator,
    List,
    Mapping,
    Optional,
    Sequence,
    Tuple,
    Union,
)

from . import _library as _lib
from ._healing import ConnectionState, Healer, StateFunction, StateHandler, stop_all
from .errors import (
    BadArgumentError,
    ControlRefusedError,
    ErrorCode,
    HostUnreachableError,
    LibraryClosedError,
    LumsdkError,
    error_for_code,
)
from .records import RGB, Channel, ChannelDevice, Device, LedPosition, ProtocolDetails

__all__ = ["Client", "KeyHandler", "connect", "led_for_key", "Colors", "KeyFunction",
           "ConnectionState", "StateHandler", "StateFunction"]

log = logging.getLogger("lumsdk")

MAX_LED_ID = 499
_LED_IDS = frozenset(range(MAX_LED_ID + 1))

# ``{led_id: (r, g, b)}`` or a sequence of ``(led_id, r, g, b)``.
Colors = Union[Mapping[int, Tuple[int, int, int]], Iterable[Tuple[int, int, int, int]]]
KeyFunction = Callable[[int, bool], None]


# --- Argument checks ---------------------------------------------------------


def _integer(value: object, what: str) -> int:
    try:
        return operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise BadArgumentError(f"{what} must be an integer, not {value!r}") from None


def _in_range(value: object, low: int, high: int, what: str) -> int:
    number = value if type(value) is int else _integer(value, what)
    if not low <= number <= high:  # type: ignore[operator]
        raise BadArgumentError(f"{what} must be {low} to {high}, not {value!r}")
    return number  # type: ignore[return-value]


def _device_index(device: object) -> int:
    index = _integer(device, "device index")
    if index < 0:
        raise BadArgumentError(f"device index must be 0 or above, not {device!r}")
    return index


def _color_records(colors: Colors) -> Tuple[ctypes.Array, int]:  # type: ignore[type-arg]
    """Checks ``colors`` and converts them into the library's records.

    Well-formed colours take a fast path: one flat array of C ints, checked
    with a few whole-array operations. Anything it cannot take goes through
    the item-by-item check, which names the bad value."""
    if not isinstance(colors, (Mapping, Sequence)):
        colors = list(colors) if isinstance(colors, Iterable) else colors  # may be consumed twice
    try:
        flat: List[int] = []
        add = flat.extend
        if isinstance(colors, Mapping):
            for led, (r, g, b) in colors.items():
                add((led, r, g, b))
        else:
            for led, r, g, b in colors:  # type: ignore[misc, union-attr]
                add((led, r, g, b))
        values = array.array("i", flat)
    except (TypeError, ValueError, OverflowError):
        values = None
    if values:
        size = len(values) // 4
        ids = set(values[0::4])
        try:
            # bytes() of a list takes only 0 to 255, checked in C. (Of the
            # array itself it would copy the raw memory instead.)
            bytes(values[1::4].tolist() + values[2::4].tolist() + values[3::4].tolist())
            if len(ids) == size and ids <= _LED_IDS:
                return (_lib.LedColorC * size).from_buffer(values), size
        except ValueError:
            pass
    return _checked_color_records(colors)


def _checked_color_records(colors: Colors) -> Tuple[ctypes.Array, int]:  # type: ignore[type-arg]
    """The item-by-item check: raises BadArgumentError naming the first bad
    value, or returns the records."""
    records: List[Tuple[int, int, int, int]] = []
    if isinstance(colors, Mapping):
        for led, rgb in colors.items():
            try:
                if isinstance(rgb, (str, bytes)):
                    raise TypeError
                r, g, b = rgb
            except (TypeError, ValueError):
                raise BadArgumentError(
                    f"the colour of LED {led!r} must be (r, g, b), not {rgb!r}") from None
            records.append((led, r, g, b))
    elif isinstance(colors, Iterable) and not isinstance(colors, (str, bytes)):
        for item in colors:
            try:
                if isinstance(item, (str, bytes)):
                    raise TypeError
                led, r, g, b = item
            except (TypeError, ValueError):
                raise BadArgumentError(
                    f"each colour must be (led_id, r, g, b), not {item!r}") from None
            records.append((led, r, g, b))
    else:
        raise BadArgumentError(
            f"colours must be {{led_id: (r, g, b)}} or a sequence of (led_id, r, g, b), "
            f"not {colors!r}")
    if not records:
        raise BadArgumentError("no colours given")
    seen = set()
    for i, (led, r, g, b) in enumerate(records):
        # Fast path for plain ints in range; anything else gets a full check.
        if not (type(led) is int and 0 <= led <= MAX_LED_ID and type(r) is int and 0 <= r <= 255
                and type(g) is int and 0 <= g <= 255 and type(b) is int and 0 <= b <= 255):
            led = _in_range(led, 0, MAX_LED_ID, "LED id")
            records[i] = (led, _in_range(r, 0, 255, f"red of LED {led}"),
                          _in_range(g, 0, 255, f"green of LED {led}"),
                          _in_range(b, 0, 255, f"blue of LED {led}"))
        if led in seen:
            raise BadArgumentError(f"LED id {led} appears twice")
        seen.add(led)
    return (_lib.LedColorC * len(records))(*records), len(records)


def _color_map(records: ctypes.Array, size: int) -> Dict[int, Tuple[int, int, int]]:  # type: ignore[type-arg]
    """Checked records as ``{led_id: (r, g, b)}``, for a healing client's intent."""
    flat = array.array("i", bytes(records))
    return dict(zip(flat[0::4], zip(flat[1::4], flat[2::4], flat[3::4])))


def _led_records(leds: Iterable[int]) -> Tuple[ctypes.Array, int]:  # type: ignore[type-arg]
    if isinstance(leds, (str, bytes)) or not isinstance(leds, Iterable):
        raise BadArgumentError(f"LED ids must be a sequence of integers, not {leds!r}")
    ids: List[int] = []
    seen = set()
    for led in leds:
        led = _in_range(led, 0, MAX_LED_ID, "LED id")
        if led in seen:
            raise BadArgumentError(f"LED id {led} appears twice")
        seen.add(led)
        ids.append(led)
    if not ids:
        raise BadArgumentError("no LED ids given")
    return (_lib.LedColorC * len(ids))(*((led, 0, 0, 0) for led in ids)), len(ids)


def _key_byte(key: object) -> bytes:
    if not isinstance(key, str) or len(key) != 1 or not ("A" <= key <= "Z" or "a" <= key <= "z"):
        raise BadArgumentError(f"key must be one ASCII letter A-Z or a-z, not {key!r}")
    return key.encode("ascii")


# --- Calls -------------------------------------------------------------------


def _check(result: bool, error: int, what: str) -> None:
    if not result:
        raise error_for_code(error, what)


def led_for_key(key: str) -> Optional[int]:
    """The LED id of the key for an ASCII letter (case matters: ``"A"`` and
    ``"a"`` are different keys), or None when the host has no LED for it.

    Needs a handshake first (:func:`connect`)."""
    name = _key_byte(key)
    lib = _lib.library()
    led, error = lib.call(lib.VelmoraGetLedIdForKeyName, name)
    if error != 0:
        raise error_for_code(error, f"LED for key {key!r}")
    return led or None


# --- Completions -------------------------------------------------------------


class _Completions:
    """Futures waiting for an asynchronous call's callback. Each carries a
    number of its own as the callback's context; the callback takes its
    future out of the table, so a future is resolved once.

    ``_lock`` guards ``_pending`` only and is never held while user code
    (the future's done-callbacks) runs."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._pending: Dict[int, Future] = {}  # type: ignore[type-arg]
        self._numbers = itertools.count(1)

    def add(self) -> Tuple[int, "Future[None]"]:
        future: Future[None] = Future()
        # Queued work cannot be taken back, so cancel() refuses from now on.
        future.set_running_or_notify_cancel()
        with self._lock:
            number = next(self._numbers)
            self._pending[number] = future
        return number, future

    def take(self, number: Optional[int]) -> Optional["Future[None]"]:
        with self._lock:
            return self._pending.pop(number or 0, None)

    def fail_all(self, error: BaseException) -> None:
        with self._lock:
            pending, self._pending = self._pending, {}
        for future in pending.values():
            future.set_exception(error)


_completions = _Completions()


def _on_async_done(context: Optional[int], result: bool, error: int) -> None:
    # Runs on a worker thread of the library; must never raise into C.
    try:
        future = _completions.take(context)
        if future is None:
            log.error("lumsdk: completion for an unknown call (context %r)", context)
            return
        if result:
            future.set_result(None)
        else:
            future.set_exception(error_for_code(error, "asynchronous colour update"))
    except BaseException:  # noqa: BLE001 - nothing may cross into C
        log.exception("lumsdk: error in an asynchronous completion")


# --- Key presses ---------------------------------------------------------------


class KeyHandler:
    """A function registered with :meth:`Client.on_key`. Calling the handler
    calls the function; :meth:`stop` unregisters it."""

    def __init__(self, function: KeyFunction, owner: "Client") -> None:
        self.function = function
        self._owner = owner

    def __call__(self, vendor_key: int, pressed: bool) -> None:
        self.function(vendor_key, pressed)

    def stop(self) -> None:
        """Stops calls to the function; safe to call more than once and from
        inside the function."""
        _keys.remove(self)

    def __repr__(self) -> str:
        return f"<KeyHandler {self.function!r}>"


class _KeyDispatch:
    """The one C key-press callback of the process and the Python functions
    it calls.

    The library has no way to remove a callback, and a registration may be
    left listed after a refusal or kept across a handshake. So each
    registration passes a new token as its context, and only calls carrying
    the token of the latest successful registration are dispatched: however
    often we register, each press reaches the functions once.

    ``_lock`` guards ``_handlers`` and the tokens; it is never held while
    the library or a user's function runs, so functions may call back into
    the client (and stop themselves)."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._handlers: List[KeyHandler] = []
        self._token = 0  # token of the live registration; 0: none
        self._next_token = 0
        self._local = threading.local()

    def in_dispatch(self) -> bool:
        return getattr(self._local, "active", False)

    def add(self, handler: KeyHandler, register: bool = True) -> None:
        """Adds ``handler``, registering the C callback first when none is;
        without ``register`` (the host is away) a healer registers it later."""
        with self._lock:
            self._handlers.append(handler)
            registered = self._token != 0
        if registered or not register:
            return
        try:
            self.register()
        except BaseException:
            self.remove(handler)
            raise

    def remove(self, handler: KeyHandler) -> None:
        with self._lock:
            if handler in self._handlers:
                self._handlers.remove(handler)

    def remove_owned_by(self, owner: "Client") -> None:
        with self._lock:
            self._handlers = [h for h in self._handlers if h._owner is not owner]

    def register(self) -> None:
        """Registers the C callback anew (after a handshake that may have
        reconnected, or the first time a function is added)."""
        with self._lock:
            self._next_token += 1
            token = self._next_token
        lib = _lib.library()
        result, error = lib.call(lib.VelmoraRegisterKeypressCallback, _KEY_THUNK, token)
        _check(result, error, "key-press registration")
        with self._lock:
            self._token = max(self._token, token)

    def handshake_done(self) -> None:
        """A handshake may have made a new connection, which has no C
        registration: with no functions left to register again now, the
        next one added registers anew."""
        with self._lock:
            if not self._handlers:
                self._token = 0

    def has_handlers(self) -> bool:
        with self._lock:
            return bool(self._handlers)

    def dispatch(self, context: Optional[int], vendor_key: int, pressed: bool) -> None:
        with self._lock:
            if context != self._token or context is None:
                return
            handlers = list(self._handlers)
        self._local.active = True
        try:
            for handler in handlers:
                try:
                    handler.function(vendor_key, pressed)
                except LibraryClosedError:
                    # The interpreter is exiting: calling in is expected to fail now.
                    log.debug("lumsdk: key-press function called the library during exit")
                except BaseException:  # noqa: BLE001 - nothing may cross into C
                    log.exception("lumsdk: exception in key-press function %r (key %d, %s)",
                                  handler.function, vendor_key,
                                  "pressed" if pressed else "released")
        finally:
            self._local.active = False


_keys = _KeyDispatch()


def _on_key(context: Optional[int], vendor_key: int, pressed: bool) -> None:
    # Runs on the library's notification thread; must never raise into C.
    try:
        _keys.dispatch(context, vendor_key, bool(pressed))
    except BaseException:  # noqa: BLE001
        log.exception("lumsdk: error while dispatching a key press")


# The C callback objects live as long as the module, which outlives the
# library: it is unloaded at interpreter exit, before modules are torn down.
_ASYNC_THUNK = _lib.AsyncCallbackC(_on_async_done)
_KEY_THUNK = _lib.KeypressCallbackC(_on_key)


_hooked: Optional[_lib.Library] = None


def _library() -> _lib.Library:
    global _hooked
    lib = _lib.library()
    if _hooked is not lib:
        _hooked = lib
        lib.before_close(stop_all)
        lib.on_close(lambda: _completions.fail_all(
            LibraryClosedError("the LUMSDK library was unloaded before this call completed")))
    return lib


# --- The client ------------------------------------------------------------------


def _handshake() -> ProtocolDetails:
    protocol, error = _try_handshake()
    if error != 0:
        raise error_for_code(error, "handshake")
    return protocol


def _try_handshake() -> Tuple[ProtocolDetails, int]:
    """The handshake's record (without the host's fields when it failed)
    and its error."""
    if _keys.in_dispatch():
        raise LumsdkError("a key-press function may not connect or reconnect")
    lib = _library()
    details, error = lib.call(lib.VelmoraPerformProtocolHandshake)
    if error == 0:
        _keys.handshake_done()
    return _protocol(details), error


def _protocol(details: _lib.ProtocolDetailsC) -> ProtocolDetails:
    def text(raw: Optional[bytes]) -> Optional[str]:
        return None if raw is None else raw.decode("utf-8", "replace")

    return ProtocolDetails(
        sdk_version=text(details.sdkVersion) or "",
        server_version=text(details.serverVersion),
        sdk_protocol_version=details.sdkProtocolVersion,
        server_protocol_version=details.serverProtocolVersion,
        breaking_changes=bool(details.breakingChanges),
    )


def connect(*, heal: bool = True, probe_interval: float = 1.0, backoff_initial: float = 0.05,
            backoff_max: float = 2.0, on_state: Optional[StateFunction] = None) -> "Client":
    """Connects to the lighting host (or keeps the working connection) and
    exchanges versions.

    With ``heal`` (the default) the client survives host restarts: see
    :meth:`Client.on_state`. When no host answers yet it returns a client
    that connects as soon as one starts (``client.connected`` is False until
    then, and calls fail with :class:`HostUnreachableError`). ``on_state``
    is subscribed before the first handshake, so it sees ``CONNECTED``.
    The healer probes an idle connection every ``probe_interval`` seconds
    and waits ``backoff_initial``, doubling to ``backoff_max``, between
    attempts to reconnect.

    Without ``heal`` it raises :class:`HostUnreachableError` when no host
    answers, and a broken connection stays broken until :meth:`Client.reconnect`.

    The connection belongs to the process: every Client shares it. One
    healing client per process is the supported case."""
    if not heal:
        if on_state is not None:
            raise BadArgumentError("on_state needs a healing client (heal=True)")
        return Client(_handshake())
    for name, value in (("probe_interval", probe_interval), ("backoff_initial", backoff_initial),
                        ("backoff_max", backoff_max)):
        if not isinstance(value, (int, float)) or not value > 0:
            raise BadArgumentError(f"{name} must be a number of seconds above 0, not {value!r}")
    if on_state is not None and not callable(on_state):
        raise BadArgumentError(f"on_state needs a callable, not {on_state!r}")
    protocol, error = _try_handshake()
    if error not in (ErrorCode.NONE, ErrorCode.HOST_UNREACHABLE):
        raise error_for_code(error, "handshake")
    connected = error == ErrorCode.NONE
    client = Client(protocol)
    client._heal(connected, float(probe_interval), float(backoff_initial),
                 max(float(backoff_max), float(backoff_initial)),
                 [on_state] if on_state is not None else [])
    return client


class Client:
    """The process's connection to the host; a context manager.

    Every method may be called from any thread, including from inside a
    key-press function, a state function or a future's callback."""

    def __init__(self, protocol: ProtocolDetails) -> None:
        self.protocol: ProtocolDetails = protocol
        """Versions exchanged at the latest handshake (before a healing
        client first connects: no server version, server protocol 0)."""
        self._lib = _library()
        self._priority: Optional[int] = None
        self._closed = False
        self._healer: Optional[Healer] = None

    def _heal(self, connected: bool, probe_interval: float, backoff_initial: float,
              backoff_max: float, subscribers: List[StateFunction]) -> None:
        def on_handshake(protocol: ProtocolDetails) -> None:
            self.protocol = protocol

        self._healer = Healer(
            self._lib, self.protocol, connected=connected, handshake=_handshake, on_handshake=on_handshake,
            keys_wanted=_keys.has_handlers, register_keys=_keys.register,
            probe_interval=probe_interval, backoff_initial=backoff_initial,
            backoff_max=backoff_max, subscribers=subscribers)

    # Lifetime -----------------------------------------------------------------

    def __enter__(self) -> "Client":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def close(self) -> None:
        """Stops healing and this client's key-press functions. The
        connection itself stays for other clients and ends with the process."""
        self._closed = True
        if self._healer is not None:
            self._healer.stop()
        _keys.remove_owned_by(self)

    @property
    def connected(self) -> bool:
        """False while a healing client knows the host is away (or has not
        connected yet); calls then fail at once with HostUnreachableError."""
        return self._healer is None or self._healer.connected

    def reconnect(self) -> ProtocolDetails:
        """Handshakes again, reconnecting when the host went away. Key-press
        functions keep working across it; a healing client also restores
        priority, control and colours. Not allowed in a key-press function."""
        self._check_open()
        if self._healer is not None:
            if _keys.in_dispatch():
                raise LumsdkError("a key-press function may not connect or reconnect")
            protocol = self._healer.attempt()
            if protocol is None:
                raise error_for_code(ErrorCode.HOST_UNREACHABLE, "handshake")
            return protocol
        self.protocol = _handshake()
        if _keys.has_handlers():
            _keys.register()
        return self.protocol

    def on_state(self, function: StateFunction) -> StateHandler:
        """Calls ``function(state)`` with a :class:`ConnectionState` when the
        connection is lost, restored, first made, or the host's devices
        change. It runs on the client's healer thread and may call the
        client; exceptions it raises are logged (logger ``"lumsdk"``).
        Returns a :class:`StateHandler` whose ``stop()`` ends the calls."""
        if not callable(function):
            raise BadArgumentError(f"on_state needs a callable, not {function!r}")
        self._check_open()
        if self._healer is None:
            raise LumsdkError("on_state needs a healing client (connect(heal=True))")
        return self._healer.subscribe(function)

    def _check_open(self) -> None:
        if self._closed:
            raise LumsdkError("this Client is closed")

    def _call(self, what: str, function: Callable[..., _lib.R], *args: Any,
              remember: Optional[Callable[[], None]] = None) -> Tuple[_lib.R, int]:
        self._check_open()
        if self._healer is not None:
            return self._healer.call(what, function, *args, remember=remember)
        return self._lib.call(function, *args)

    def _remember_colors(self, records: ctypes.Array  # type: ignore[type-arg]
                         ) -> Optional[Callable[[], None]]:
        healer = self._healer
        if healer is None:
            return None
        raw = bytes(records)
        return lambda: healer.remember_colors(raw)

    # Devices ------------------------------------------------------------------

    def device_count(self) -> int:
        """Number of devices of the host."""
        count, error = self._call("device count", self._lib.VelmoraGetDeviceCount)
        if count < 0:
            raise error_for_code(error, "device count")
        return count

    def device(self, index: int) -> Device:
        """The description of device ``index``."""
        index = _device_index(index)
        what = f"device {index}"
        info, error = self._call(what, self._lib.VelmoraGetDeviceInfo, index)
        if not info:
            raise error_for_code(error, what)
        d = info.contents
        channels = []
        for c in range(max(d.channels.channelsCount, 0)):
            channel = d.channels.channels[c]
            attached = tuple(
                ChannelDevice(type=channel.devices[i].type, led_count=channel.devices[i].deviceLedCount)
                for i in range(max(channel.devicesCount, 0)))
            channels.append(Channel(total_leds=channel.totalLedsCount, devices=attached))
        return Device(index=index, type=d.type, model=(d.model or b"").decode("utf-8", "replace"),
                      physical_layout=d.physicalLayout, logical_layout=d.logicalLayout,
                      caps_mask=d.capsMask, leds_count=d.ledsCount, channels=tuple(channels))

    def devices(self) -> List[Device]:
        """Every device of the host, channels included."""
        return [self.device(i) for i in range(self.device_count())]

    # LEDs ----------------------------------------------------------------------

    def positions(self, device: Optional[int] = None) -> List[LedPosition]:
        """Positions of every LED, or of one device's LEDs."""
        if device is None:
            what = "LED positions"
            result, error = self._call(what, self._lib.VelmoraGetLedPositions)
        else:
            index = _device_index(device)
            what = f"LED positions of device {index}"
            result, error = self._call(what, self._lib.VelmoraGetLedPositionsByDeviceIndex, index)
        if not result:
            raise error_for_code(error, what)
        p = result.contents
        return [LedPosition(led_id=e.ledId, top=e.top, left=e.left, height=e.height, width=e.width)
                for e in (p.positions[i] for i in range(p.positionsCount))]

    def led_for_key(self, key: str) -> Optional[int]:
        """See :func:`lumsdk.led_for_key`."""
        name = _key_byte(key)
        what = f"LED for key {key!r}"
        led, error = self._call(what, self._lib.VelmoraGetLedIdForKeyName, name)
        if error != 0:
            raise error_for_code(error, what)
        return led or None

    def set_colors(self, colors: Colors) -> None:
        """Sets colours and waits for the host: ``{led_id: (r, g, b)}`` or a
        sequence of ``(led_id, r, g, b)``."""
        records, size = _color_records(colors)
        what = f"setting {size} colours"
        result, error = self._call(what, self._lib.VelmoraSetLedsColors, size, records,
                                   remember=self._remember_colors(records))
        _check(result, error, what)

    def get_colors(self, leds: Iterable[int], device: Optional[int] = None) -> Dict[int, RGB]:
        """The colours of ``leds`` as the user sees them, ``{led_id: RGB}``;
        with ``device``, of that device's LEDs only."""
        records, size = _led_records(leds)
        what = f"reading {size} colours"
        if device is None:
            result, error = self._call(what, self._lib.VelmoraGetLedsColors, size, records)
        else:
            index = _device_index(device)
            result, error = self._call(what, self._lib.VelmoraGetLedsColorsByDeviceIndex,
                                       index, size, records)
        _check(result, error, what)
        return {r.ledId: RGB(r.r, r.g, r.b) for r in records}

    def set_colors_async(self, colors: Colors) -> "Future[None]":
        """Queues colours and returns at once. The future completes (on a
        worker thread of the library) when the host has answered, or fails
        with the error. Use ``asyncio.wrap_future`` to await it."""
        records, size = _color_records(colors)
        what = f"queueing {size} colours"
        number, future = _completions.add()
        try:
            result, error = self._call(what, self._lib.VelmoraSetLedsColorsAsync, size, records,
                                       _ASYNC_THUNK, number,
                                       remember=self._remember_colors(records))
            _check(result, error, what)
        except BaseException:
            _completions.take(number)
            raise
        self._watch(future)
        return future

    def _watch(self, future: "Future[None]") -> None:
        # A completion that failed because the host went away counts as a
        # call failing with "host unreachable".
        healer = self._healer
        if healer is not None:
            epoch = healer.epoch
            future.add_done_callback(
                lambda f: healer.lost(epoch) if isinstance(f.exception(), HostUnreachableError)
                else None)

    def buffer(self, device: int, colors: Colors) -> None:
        """Stores colours for one device in the library's buffer; nothing is
        sent until :meth:`flush` or :meth:`flush_async`."""
        index = _device_index(device)
        records, size = _color_records(colors)
        what = f"buffering {size} colours for device {index}"
        result, error = self._call(what, self._lib.VelmoraSetLedsColorsBufferByDeviceIndex,
                                   index, size, records)
        _check(result, error, what)
        healer = self._healer
        if healer is not None:
            buffered = _color_map(records, size)
            healer.locked(lambda: healer.remember_buffered(buffered))

    def flush(self) -> None:
        """Sends the whole buffer and waits for the host."""
        what = "flushing the buffer"
        result, error = self._call(what, self._lib.VelmoraSetLedsColorsFlushBuffer,
                                   remember=self._healer and self._healer.remember_flush)
        _check(result, error, what)

    def flush_async(self) -> "Future[None]":
        """Hands the buffer to a worker that sends it on its next pass; the
        future completes with the host's answer."""
        what = "flushing the buffer asynchronously"
        number, future = _completions.add()
        try:
            result, error = self._call(what, self._lib.VelmoraSetLedsColorsFlushBufferAsync,
                                       _ASYNC_THUNK, number,
                                       remember=self._healer and self._healer.remember_flush)
            _check(result, error, what)
        except BaseException:
            _completions.take(number)
            raise
        self._watch(future)
        return future

    # Control -------------------------------------------------------------------

    def _remember_control(self, held: bool) -> None:
        healer = self._healer
        if healer is not None:
            healer.locked(lambda: healer.remember_control(held))

    def request_control(self) -> bool:
        """Asks for exclusive control of the lighting; False when the host
        refuses (another application holds it). A healing client asked
        while the host is away raises HostUnreachableError and takes control
        when the host is back."""
        what = "requesting control"
        try:
            result, error = self._call(what, self._lib.VelmoraRequestControl, 0)
        except HostUnreachableError:
            self._remember_control(True)
            raise
        if error == ErrorCode.HOST_UNREACHABLE:
            self._remember_control(True)
        if not result and error != 0:
            raise error_for_code(error, what)
        self._remember_control(bool(result))
        return bool(result)

    def release_control(self) -> None:
        """Gives exclusive control back."""
        what = "releasing control"
        self._remember_control(False)
        result, error = self._call(what, self._lib.VelmoraReleaseControl, 0)
        _check(result, error, what)

    @contextmanager
    def exclusive(self) -> Iterator["Client"]:
        """``with client.exclusive():`` holds exclusive control for the
        block. Raises :class:`ControlRefusedError` when the host refuses."""
        if not self.request_control():
            raise ControlRefusedError("the host refused exclusive control "
                                      "(another application holds it)")
        try:
            yield self
        finally:
            try:
                self.release_control()
            except HostUnreachableError:
                # A host that went away holds nothing; a healing client
                # remembers not to take control back.
                if self._healer is None:
                    raise

    @property
    def priority(self) -> Optional[int]:
        """This application's layer priority, 0 to 255 (the host's default
        is 128): the last value set through this client, None before."""
        return self._priority

    @priority.setter
    def priority(self, value: int) -> None:
        level = _in_range(value, 0, 255, "priority")
        what = f"setting priority {level}"
        healer = self._healer
        try:
            result, error = self._call(what, self._lib.VelmoraSetLayerPriority, level)
        except HostUnreachableError:
            error = ErrorCode.HOST_UNREACHABLE
        if healer is not None and error == ErrorCode.HOST_UNREACHABLE:
            # Kept, and set again when the host is back.
            self._priority = level
            healer.locked(lambda: healer.remember_priority(level))
            raise error_for_code(error, what)
        _check(result, error, what)
        self._priority = level
        if healer is not None:
            healer.locked(lambda: healer.remember_priority(level))

    # Key presses ----------------------------------------------------------------

    def on_key(self, function: KeyFunction) -> KeyHandler:
        """Calls ``function(vendor_key, pressed)`` for every key press and
        release, on the library's notification thread. Usable as a
        decorator; returns a :class:`KeyHandler` whose ``stop()`` ends the
        calls. Exceptions the function raises are logged (logger
        ``"lumsdk"``) and do not stop later calls. A healing client accepts
        it while the host is away and registers it when the host is back."""
        if not callable(function):
            raise BadArgumentError(f"on_key needs a callable, not {function!r}")
        self._check_open()
        handler = KeyHandler(function, self)
        healer = self._healer
        if healer is not None and not healer.connected:
            _keys.add(handler, register=False)
            return handler
        try:
            _keys.add(handler)
        except HostUnreachableError:
            if healer is None:
                raise
            _keys.add(handler, register=False)
            healer.lost()
        return handler
