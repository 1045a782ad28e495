"""Finding and loading the shared library, its C records and prototypes, and
the gate every call goes through so that the library can be unloaded safely
when the interpreter exits."""

from __future__ import annotations

import atexit
import ctypes
import ctypes.util
import logging
import os
import sys
import threading
from pathlib import Path
from typing import (
    TYPE_CHECKING,
    Any,
    Callable,
    Dict,
    Generic,
    List,
    Optional,
    Tuple,
    Type,
    TypeVar,
    overload,
)

from .errors import LibraryClosedError, LibraryNotFoundError

log = logging.getLogger("lumsdk")

if sys.platform == "win32":
    LIBRARY_FILE = "LUMSDK.x64_2012.dll"
    _SYSTEM_NAME = "LUMSDK.x64_2012"
else:
    LIBRARY_FILE = "libLUMSDK.so"
    _SYSTEM_NAME = "LUMSDK"

# Where a copy made at install time lives inside the package.
BUNDLED_DIR = Path(__file__).resolve().parent / "_lib"


# --- C records, as laid out in LUMSDK.h -------------------------------------


class ProtocolDetailsC(ctypes.Structure):
    _fields_ = [
        ("sdkVersion", ctypes.c_char_p),
        ("serverVersion", ctypes.c_char_p),
        ("sdkProtocolVersion", ctypes.c_int),
        ("serverProtocolVersion", ctypes.c_int),
        ("breakingChanges", ctypes.c_bool),
    ]


class ChannelDeviceInfoC(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("deviceLedCount", ctypes.c_int)]


class ChannelInfoC(ctypes.Structure):
    _fields_ = [
        ("totalLedsCount", ctypes.c_int),
        ("devicesCount", ctypes.c_int),
        ("devices", ctypes.POINTER(ChannelDeviceInfoC)),
    ]


class ChannelsInfoC(ctypes.Structure):
    _fields_ = [("channelsCount", ctypes.c_int), ("channels", ctypes.POINTER(ChannelInfoC))]


class DeviceInfoC(ctypes.Structure):
    _fields_ = [
        ("type", ctypes.c_int),
        ("model", ctypes.c_char_p),
        ("physicalLayout", ctypes.c_int),
        ("logicalLayout", ctypes.c_int),
        ("capsMask", ctypes.c_int),
        ("ledsCount", ctypes.c_int),
        ("channels", ChannelsInfoC),
    ]


class LedPositionC(ctypes.Structure):
    _fields_ = [
        ("ledId", ctypes.c_int),
        ("top", ctypes.c_double),
        ("left", ctypes.c_double),
        ("height", ctypes.c_double),
        ("width", ctypes.c_double),
    ]


class LedPositionsC(ctypes.Structure):
    _fields_ = [("positionsCount", ctypes.c_int), ("positions", ctypes.POINTER(LedPositionC))]


class LedColorC(ctypes.Structure):
    _fields_ = [
        ("ledId", ctypes.c_int),
        ("r", ctypes.c_int),
        ("g", ctypes.c_int),
        ("b", ctypes.c_int),
    ]


# Both callback types use the C calling convention on every platform.
AsyncCallbackC = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_bool, ctypes.c_int)
KeypressCallbackC = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int, ctypes.c_bool)

# Every record above with its C name, for the layout test.
RECORDS: Tuple[Tuple[Type[ctypes.Structure], str], ...] = (
    (ProtocolDetailsC, "VelmoraProtocolDetails"),
    (ChannelDeviceInfoC, "VelmoraChannelDeviceInfo"),
    (ChannelInfoC, "VelmoraChannelInfo"),
    (ChannelsInfoC, "VelmoraChannelsInfo"),
    (DeviceInfoC, "VelmoraDeviceInfo"),
    (LedPositionC, "VelmoraLedPosition"),
    (LedPositionsC, "VelmoraLedPositions"),
    (LedColorC, "VelmoraLedColor"),
)


# --- The exports' prototypes --------------------------------------------------

R = TypeVar("R")

if TYPE_CHECKING:
    from ctypes import _Pointer


class Export(Generic[R]):
    """One export's C prototype: its result type and argument types. Read
    from a :class:`Exports` instance it is the loaded function, typed with
    the Python value ctypes makes of its result (``R``)."""

    def __init__(self, restype: Any, *argtypes: Any) -> None:
        self.restype = restype
        self.argtypes = list(argtypes)
        self.name = ""

    def __set_name__(self, owner: type, name: str) -> None:
        self.name = name

    @overload
    def __get__(self, instance: None, owner: type) -> "Export[R]": ...

    @overload
    def __get__(self, instance: "Exports", owner: type) -> Callable[..., R]: ...

    def __get__(self, instance: Optional["Exports"], owner: type) -> Any:
        if instance is None:
            return self
        return instance._functions[self.name]


_int, _bool, _void_p = ctypes.c_int, ctypes.c_bool, ctypes.c_void_p
_colors = ctypes.POINTER(LedColorC)


class Exports:
    """The library's 18 exports: the one table of their prototypes, applied
    to the loaded library in ``__init__``."""

    VelmoraPerformProtocolHandshake = Export[ProtocolDetailsC](ProtocolDetailsC)
    VelmoraGetLastError = Export[int](_int)
    VelmoraGetDeviceCount = Export[int](_int)
    VelmoraGetDeviceInfo = Export["_Pointer[DeviceInfoC]"](ctypes.POINTER(DeviceInfoC), _int)
    VelmoraGetLedPositions = Export["_Pointer[LedPositionsC]"](ctypes.POINTER(LedPositionsC))
    VelmoraGetLedPositionsByDeviceIndex = Export["_Pointer[LedPositionsC]"](
        ctypes.POINTER(LedPositionsC), _int)
    VelmoraGetLedIdForKeyName = Export[int](_int, ctypes.c_char)
    VelmoraRequestControl = Export[bool](_bool, _int)
    VelmoraReleaseControl = Export[bool](_bool, _int)
    VelmoraSetLayerPriority = Export[bool](_bool, _int)
    VelmoraSetLedsColors = Export[bool](_bool, _int, _colors)
    VelmoraGetLedsColors = Export[bool](_bool, _int, _colors)
    VelmoraGetLedsColorsByDeviceIndex = Export[bool](_bool, _int, _int, _colors)
    VelmoraSetLedsColorsAsync = Export[bool](_bool, _int, _colors, AsyncCallbackC, _void_p)
    VelmoraSetLedsColorsBufferByDeviceIndex = Export[bool](_bool, _int, _int, _colors)
    VelmoraSetLedsColorsFlushBuffer = Export[bool](_bool)
    VelmoraSetLedsColorsFlushBufferAsync = Export[bool](_bool, AsyncCallbackC, _void_p)
    VelmoraRegisterKeypressCallback = Export[bool](_bool, KeypressCallbackC, _void_p)

    def __init__(self, cdll: ctypes.CDLL) -> None:
        self._functions: Dict[str, Any] = {}
        for export in self.table():
            function = getattr(cdll, export.name)
            function.restype = export.restype
            function.argtypes = export.argtypes
            self._functions[export.name] = function

    @staticmethod
    def table() -> List[Export[Any]]:
        """Every prototype, in the order declared."""
        return [value for value in vars(Exports).values() if isinstance(value, Export)]


# --- Finding the library ----------------------------------------------------


def load() -> Tuple[ctypes.CDLL, str]:
    """Loads the library: LUMSDK_LIBRARY, the copy inside the package, then
    the system's search; raises LibraryNotFoundError naming every place
    tried.

    LUMSDK_LIBRARY, when set, is the only place tried: a library chosen on
    purpose is never replaced by another one silently."""
    chosen = os.environ.get("LUMSDK_LIBRARY")
    if chosen:
        try:
            return ctypes.CDLL(chosen), chosen
        except OSError as e:
            raise LibraryNotFoundError(f"cannot load the LUMSDK library LUMSDK_LIBRARY={chosen}: {e}")
    tried = ["LUMSDK_LIBRARY: not set"]
    bundled = BUNDLED_DIR / LIBRARY_FILE
    if bundled.is_file():
        try:
            return ctypes.CDLL(str(bundled)), str(bundled)
        except OSError as e:
            tried.append(f"inside the package: {bundled} ({e})")
    else:
        tried.append(f"inside the package: {bundled} (no such file)")
    system = ctypes.util.find_library(_SYSTEM_NAME)
    if system:
        try:
            return ctypes.CDLL(system), system
        except OSError as e:
            tried.append(f"system search: {system} ({e})")
    else:
        tried.append(f"system search: find_library({_SYSTEM_NAME!r}) found nothing")
    raise LibraryNotFoundError(
        "cannot find the LUMSDK library; set LUMSDK_LIBRARY to its path. Tried:\n  "
        + "\n  ".join(tried)
    )


# --- The loaded library and its call gate ----------------------------------


class Library(Exports):
    """The loaded library. Every call enters the gate, so that at interpreter
    exit the library is unloaded only once no Python thread is inside it.

    ``_lock`` guards ``_busy`` and ``_closed`` only; it is never held while
    the library or user code runs.
    """

    def __init__(self, cdll: ctypes.CDLL, path: str) -> None:
        super().__init__(cdll)
        self.path = path
        self._cdll = cdll
        self._lock = threading.Lock()
        self._idle = threading.Condition(self._lock)
        self._busy = 0
        self._closed = False
        self._close_hooks: List[Callable[[], None]] = []
        self._before_close_hooks: List[Callable[[], None]] = []

    def call(self, function: Callable[..., R], *args: Any) -> Tuple[R, int]:
        """Calls ``function`` and returns (its result, this thread's last
        error)."""
        with self._lock:
            if self._closed:
                raise LibraryClosedError("the LUMSDK library was unloaded at interpreter exit")
            self._busy += 1
        try:
            result = function(*args)
            return result, self.VelmoraGetLastError()
        finally:
            with self._lock:
                self._busy -= 1
                if self._busy == 0:
                    self._idle.notify_all()

    def before_close(self, hook: Callable[[], None]) -> None:
        """Runs ``hook`` at exit while calls are still allowed (to end
        threads of the package that call the library)."""
        self._before_close_hooks.append(hook)

    def on_close(self, hook: Callable[[], None]) -> None:
        """Runs ``hook`` after the library is unloaded."""
        self._close_hooks.append(hook)

    def close(self, timeout: float = 15.0) -> None:
        """Refuses new calls, waits for calls in progress (each ends within
        the library's own time-out), then unloads the library, which stops
        and joins its threads after any callback that is running returns.

        Registered at exit: once the interpreter is finalized, a callback
        arriving on a library thread could no longer run Python code."""
        if not self._closed:
            for hook in self._before_close_hooks:
                try:
                    hook()
                except Exception:  # noqa: BLE001 - exit must go on
                    log.exception("lumsdk: error while closing")
        with self._lock:
            if self._closed:
                return
            self._closed = True
            if not self._idle.wait_for(lambda: self._busy == 0, timeout):
                log.warning("lumsdk: calls still running at exit; the library stays loaded")
                return
        if sys.platform != "win32":
            # Called through ctypes so that the GIL is released: a callback
            # that is waiting for it must be able to finish for the join.
            libc = ctypes.CDLL(None)
            libc.dlclose.argtypes = [ctypes.c_void_p]
            libc.dlclose(self._cdll._handle)
        # On Windows the library stays loaded once its threads run; the
        # callbacks find the package closed and return at once.
        for hook in self._close_hooks:
            try:
                hook()
            except Exception:  # noqa: BLE001 - exit must go on
                log.exception("lumsdk: error while closing")

    @property
    def closed(self) -> bool:
        return self._closed


_instance: Optional[Library] = None
_instance_lock = threading.Lock()


def library() -> Library:
    """The process's library, loaded on first use."""
    global _instance
    with _instance_lock:
        if _instance is None:
            cdll, path = load()
            _instance = Library(cdll, path)
            atexit.register(_instance.close)
        return _instance
