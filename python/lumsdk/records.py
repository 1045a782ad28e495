"""The records lumsdk returns: plain, immutable copies of the library's data."""

from __future__ import annotations

from dataclasses import dataclass
from typing import NamedTuple, Optional, Tuple

__all__ = ["RGB", "ProtocolDetails", "ChannelDevice", "Channel", "Device", "LedPosition"]


class RGB(NamedTuple):
    """A colour; equal to the plain tuple ``(r, g, b)``."""

    r: int
    g: int
    b: int


@dataclass(frozen=True)
class ProtocolDetails:
    """Versions exchanged at the handshake."""

    sdk_version: str
    """This library's version (the C library's, as ``lumsdk.__version__``)."""
    server_version: Optional[str]
    """The host's version text; None when no host answered."""
    sdk_protocol_version: int
    """The protocol version this library speaks (5)."""
    server_protocol_version: int
    """The host's protocol version; 0 when no host answered."""
    breaking_changes: bool
    """The host's flag; only ever true for hosts newer than the library."""


@dataclass(frozen=True)
class ChannelDevice:
    """A device attached to a channel of an LED controller."""

    type: int
    led_count: int


@dataclass(frozen=True)
class Channel:
    """One channel of an LED controller and what is attached to it."""

    total_leds: int
    devices: Tuple[ChannelDevice, ...]


@dataclass(frozen=True)
class Device:
    """One device of the host (keyboard, mouse, controller...)."""

    index: int
    """Its index, as the device calls take it."""
    type: int
    model: str
    physical_layout: int
    logical_layout: int
    caps_mask: int
    leds_count: int
    channels: Tuple[Channel, ...]


@dataclass(frozen=True)
class LedPosition:
    """Where an LED is, in the host's unit."""

    led_id: int
    top: float
    left: float
    height: float
    width: float
