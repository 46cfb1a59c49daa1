"""Exceptions of the binding: every result other than ResultOk becomes one."""

from __future__ import annotations

from typing import TYPE_CHECKING, Iterable, Optional, Tuple

if TYPE_CHECKING:
    from ._outcomes import Outcome


class Error(Exception):
    """A call the driver did not complete.

    Attributes:
        operation: the driver's name of the call, e.g. "ReadVar" or "OpenPort".
        port: the port name, or None for calls that concern no port.
        address: the address text given to the driver, or None.
        messages: the driver's own messages for this call, in order (the driver
            has messages only for a port it cannot open).
        outcomes: how each attempt of the call (or the failed open) ended,
            as the driver reported it; empty for a driver that does not
            report, and for a call that never reached the line.
        reason: the key of the final outcome's reason ("no_reply",
            "checksum", "open_failed", ...), or None without outcomes.
    """

    def __init__(
        self,
        text: str,
        *,
        operation: str = "",
        port: Optional[str] = None,
        address: Optional[str] = None,
        messages: Iterable[str] = (),
        outcomes: Iterable["Outcome"] = (),
    ) -> None:
        self.operation = operation
        self.port = port
        self.address = address
        self.messages: Tuple[str, ...] = tuple(messages)
        self.outcomes: Tuple["Outcome", ...] = tuple(outcomes)
        self.reason: Optional[str] = self.outcomes[-1].key if self.outcomes else None
        parts = [text, *self.messages]
        super().__init__("; ".join(parts))


class Refused(Error):
    """The driver refused the call: traffic is suspended by STOP, or the
    address is not one the driver accepts (see BadAddress)."""


class BadAddress(Refused, ValueError):
    """The driver refused an address text (also a ValueError)."""


class Failed(Error):
    """The port could not be opened or closed, or no attempt of a transfer
    got a valid reply."""


class LibraryNotFound(OSError):
    """The driver could not be loaded; the text lists every place tried."""
