"""Exceptions raised by lumsdk.

Every failure of the library is a :class:`LumsdkError` carrying the
library's error code in ``code``. The codes the library itself produces have
a subclass each; codes that only a host passes through (for instance 2, sent
while another application holds exclusive control) raise the base class.
"""

from __future__ import annotations

import enum
from typing import Dict, Optional, Type

__all__ = [
    "ErrorCode",
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


class ErrorCode(enum.IntEnum):
    """The library's error codes (its ``VelmoraError`` enum)."""

    NONE = 0
    HOST_UNREACHABLE = 1
    RESERVED = 2
    HANDSHAKE_REQUIRED = 3
    PROTOCOL_MISMATCH = 4
    BAD_ARGUMENT = 5


_KNOWN_CODES = frozenset(c.value for c in ErrorCode)


class LumsdkError(Exception):
    """A call failed. ``code`` is the library's error code (0 when the host
    answered "no" without a code)."""

    code: int = 0

    def __init__(self, message: str, code: Optional[int] = None) -> None:
        super().__init__(message)
        if code is not None:
            # A code of the table reads as its ErrorCode; others (passed
            # through from a host) stay plain ints.
            self.code = ErrorCode(code) if code in _KNOWN_CODES else code


class HostUnreachableError(LumsdkError):
    """No host is running, the connection broke, or the host did not answer
    in time (code 1)."""

    code = ErrorCode.HOST_UNREACHABLE


class HandshakeRequiredError(LumsdkError):
    """No handshake has succeeded yet in this process (code 3). Call
    :func:`lumsdk.connect` first."""

    code = ErrorCode.HANDSHAKE_REQUIRED


class ProtocolMismatchError(LumsdkError):
    """The host speaks a protocol version too old for this call (code 4)."""

    code = ErrorCode.PROTOCOL_MISMATCH


class BadArgumentError(LumsdkError, ValueError):
    """An argument was rejected (code 5): by lumsdk before the call, by the
    library, or because the host's answer held no usable result."""

    code = ErrorCode.BAD_ARGUMENT


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


_DESCRIPTIONS: Dict[int, str] = {
    ErrorCode.NONE: "the host answered no",
    ErrorCode.HOST_UNREACHABLE: "host unreachable",
    ErrorCode.RESERVED: "refused by the host",
    ErrorCode.HANDSHAKE_REQUIRED: "handshake required",
    ErrorCode.PROTOCOL_MISMATCH: "protocol mismatch: the host is too old for this call",
    ErrorCode.BAD_ARGUMENT: "bad argument",
}


def _describe(code: int) -> str:
    return _DESCRIPTIONS.get(code, "host error")
