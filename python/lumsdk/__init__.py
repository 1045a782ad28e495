"""lumsdk: control the lighting host from Python.

A thin layer over the LUMSDK shared library (through ctypes, no compiler
needed)::

    import lumsdk

    with lumsdk.connect() as client:
        client.set_colors({lumsdk.led_for_key("A"): (255, 0, 0)})

The shared library is found through ``LUMSDK_LIBRARY``, a copy inside the
package, then the system's search. Its pipes
are those named by ``LUMSDK_PIPE_BASE`` when set.
"""

from .client import (
    Client,
    Colors,
    ConnectionState,
    KeyFunction,
    KeyHandler,
    StateFunction,
    StateHandler,
    connect,
    led_for_key,
)
from .errors import (
    BadArgumentError,
    ControlRefusedError,
    ErrorCode,
    HandshakeRequiredError,
    HostUnreachableError,
    LibraryClosedError,
    LibraryNotFoundError,
    LumsdkError,
    ProtocolMismatchError,
)
from .records import RGB, Channel, ChannelDevice, Device, LedPosition, ProtocolDetails

try:
    from ._version import __version__
except ImportError:  # run from a tree that CMake has not configured
    __version__ = "0+unknown"

__all__ = [
    "connect",
    "led_for_key",
    "Client",
    "KeyHandler",
    "KeyFunction",
    "ConnectionState",
    "StateHandler",
    "StateFunction",
    "Colors",
    "RGB",
    "ProtocolDetails",
    "Device",
    "Channel",
    "ChannelDevice",
    "LedPosition",
    "ErrorCode",
    "LumsdkError",
    "HostUnreachableError",
    "HandshakeRequiredError",
    "ProtocolMismatchError",
    "BadArgumentError",
    "ControlRefusedError",
    "LibraryNotFoundError",
    "LibraryClosedError",
]
