"""Exceptions raised by lumsdk.

Every failure of the library is a :class:`LumsdkError` carrying the
library's error code in ``code``. The codes the library itself produces have
a subclass each; codes that only a host passes through (for instance 2, sent
while another application holds exclusive control) raise the base class.
"""

from __future__ import annotations

from typing import Dict, Optional, Type

__all__ = [
    "LumsdkError",
    "HostUnreachableError",
    "HandshakeRequiredError",
    "ProtocolMismatchError",
    "BadArgumentError",
    "ControlRefusedError",
    "LibraryNotFoundError",
    "LibraryClosedError",
    "error_for_code",
]


class LumsdkError(Exception):
    """A call failed. ``code`` is the library's error code (0 when the host
    answered "no" without a code)."""

    code: int = 0

    def __init__(self, message: str, code: Optional[int] = None) -> None:
        super().__init__(message)
        if code is not None:
            self.code = code


class HostUnreachableError(LumsdkError):
    """No host is running, the connection broke, or the host did not answer
    in time (code 1)."""

    code = 1


class HandshakeRequiredError(LumsdkError):
    """No handshake has succeeded yet in this process (code 3). Call
    :func:`lumsdk.connect` first."""

    code = 3


class ProtocolMismatchError(LumsdkError):
    """The host speaks a protocol version too old for this call (code 4)."""

    code = 4


class BadArgumentError(LumsdkError, ValueError):
    """An argument was rejected (code 5): by lumsdk before the call, by the
    library, or because the host's answer held no usable result."""

    code = 5


class ControlRefusedError(LumsdkError):
    """The host refused exclusive control (another application holds it)."""


class LibraryNotFoundError(LumsdkError, OSError):
    """The shared library could not be found or loaded; the message names
    every place that was tried."""


class LibraryClosedError(LumsdkError):
    """The library was unloaded because the interpreter is exiting."""


_BY_CODE: Dict[int, Type[LumsdkError]] = {
    cls.code: cls
    for cls in (HostUnreachableError, HandshakeRequiredError, ProtocolMismatchError,
                BadArgumentError)
}


def error_for_code(code: int, what: str) -> LumsdkError:
    """The exception for error ``code`` of the call described by ``what``."""
    cls = _BY_CODE.get(code, LumsdkError)
    return cls(f"{what} failed with error {code} ({_describe(code)})", code)


def _describe(code: int) -> str:
    return {
        0: "the host answered no",
        1: "host unreachable",
        2: "refused by the host",
        3: "handshake required",
        4: "protocol mismatch: the host is too old for this call",
        5: "bad argument",
    }.get(code, "host error")
