"""Exceptions of the binding: every result other than ResultOk becomes one."""

from __future__ import annotations

from typing import Iterable, Optional, Tuple


class Error(Exception):
    """A call the driver did not complete.

    Attributes:
        operation: the driver's name of the call, e.g. "ReadVar" or "OpenPort".
        port: the port name, or None for calls that concern no port.
        address: the address text given to the driver, or None.
        messages: the driver's own messages for this call, in order (the driver
            has messages only for a port it cannot open).
        detail: lines of the driver's trace about this call (the system's
            reason for a failed open), when the trace goes to a file.
    """

    def __init__(
        self,
        text: str,
        *,
        operation: str = "",
        port: Optional[str] = None,
        address: Optional[str] = None,
        messages: Iterable[str] = (),
        detail: Iterable[str] = (),
    ) -> None:
        self.operation = operation
        self.port = port
        self.address = address
        self.messages: Tuple[str, ...] = tuple(messages)
        self.detail: Tuple[str, ...] = tuple(detail)
        parts = [text, *self.messages, *self.detail]
        super().__init__("; ".join(parts))


class Refused(Error):
    """The driver refused the call: traffic is suspended by STOP, or the
    address is not one the driver accepts (see BadAddress)."""


class BadAddress(Refused, ValueError):
    """The driver refused an address text (also a ValueError)."""


class Failed(Error):
    """The port could not be opened or closed, or no valid reply came in
    five attempts."""


class LibraryNotFound(OSError):
    """The driver could not be loaded; the text lists every place tried."""
