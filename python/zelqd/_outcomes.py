"""Why the driver's attempts ended: the records of its observer.

The Linux driver has a second export, zelqd_set_observer: one callback per
process, called on the thread of the call, once per attempt of a transfer and
once per failed open, with a record of how it ended. The binding sets one
callback, the same in every driver file it loads that has the export, and
hands each record to the Port whose DriverInstance the record names. A driver
without the export still works; its Ports then know the result codes only.

The callback copies the record and returns: it never raises into the driver
and never calls it.
"""

from __future__ import annotations

import ctypes
import os
import weakref
from ctypes import CFUNCTYPE, POINTER, c_void_p
from typing import List, NamedTuple, Optional, Union

from . import _records as records
from ._facts import OpenStep, OutcomeKind, Reason

_STEP_NAMES = {
    OpenStep.NAME: "name",
    OpenStep.OPEN: "open",
    OpenStep.LOCK: "lock",
    OpenStep.EXCLUSIVE: "exclusive",
    OpenStep.SETTINGS: "settings",
    OpenStep.TIMEOUTS: "time-outs",
}

# Stable keys, the same the tools use in their metrics and JSON. A time-out
# with nothing received is no_reply, with part of the reply incomplete_reply.
_KEYS = {
    Reason.OK: "ok",
    Reason.OUT_OF_RANGE: "out_of_range",
    Reason.SENT_SHORT: "short_write",
    Reason.CHECKSUM: "checksum",
    Reason.ERROR_REPLY: "error_reply",
    Reason.NO_KEYWORD: "no_keyword",
    Reason.BAD_VALUE_GROUP: "bad_value",
    Reason.HANG_UP: "hang_up",
    Reason.IO_ERROR: "io_error",
    Reason.OPEN_FAILED: "open_failed",
}


class Outcome(NamedTuple):
    """How one attempt of a transfer, or one failed open, ended."""

    kind: Union[OutcomeKind, int]
    reason: Union[Reason, int]
    key: str
    """A short stable name of the reason: "ok", "no_reply", "checksum", ..."""
    text: str
    """The reason in words: "checksum: expected 3A, received 3B"."""
    attempt: int
    """1 to attempts; 0 for an open."""
    attempts: int
    variable: int
    count: int
    request: bytes
    """The request as sent, or as far as it went."""
    reply: bytes
    """The reply bytes that arrived."""
    reply_expected: int
    system_error: int
    """The errno of a hang-up, an I/O error or a failed open; else 0."""
    open_step: Union[OpenStep, int]
    port_name: str
    """The port name of a failed open, as given."""
    sent_ns: int
    first_reply_ns: int
    """Monotonic clock, like time.monotonic_ns(); 0 when no byte arrived."""
    ended_ns: int

    @property
    def ok(self) -> bool:
        return self.reason == Reason.OK


def _known(kind: type, number: int) -> int:
    """The enum member of number, or number itself when kind has none."""
    try:
        return kind(number)
    except ValueError:
        return number


def _shown(digits: bytes) -> str:
    return "".join(chr(b) if 0x20 < b < 0x7F else "\\x%02X" % b for b in digits)


def _errno_text(number: int) -> str:
    return "%s (errno %d)" % (os.strerror(number), number)


def _key(reason: int, received: int) -> str:
    if reason == Reason.TIMEOUT:
        return "incomplete_reply" if received else "no_reply"
    return _KEYS.get(reason, "reason_%d" % reason)  # type: ignore[call-overload]


def _text(record: records.ZelqdOutcome) -> str:
    reason = record.reason
    if reason == Reason.TIMEOUT:
        what = "incomplete reply" if record.replyReceived else "no reply"
        return "%s within the time-out (%d of %d bytes)" % (what, record.replyReceived, record.replyExpected)
    if reason == Reason.CHECKSUM:
        return "checksum: expected %s, received %s" % (
            _shown(bytes(record.checksumExpected)),
            _shown(bytes(record.checksumSeen)),
        )
    if reason == Reason.BAD_VALUE_GROUP:
        return "value group %d is not eight hexadecimal digits" % record.badGroup
    if reason == Reason.HANG_UP:
        return "the device hung up (the adapter went away)"
    if reason == Reason.IO_ERROR:
        return "read or write failed: " + _errno_text(record.systemError)
    if reason == Reason.OPEN_FAILED:
        step = _STEP_NAMES.get(record.openStep, "step %d" % record.openStep)  # type: ignore[call-overload]
        return "%s: %s" % (step, _errno_text(record.systemError))
    return {
        Reason.OK: "ok",
        Reason.OUT_OF_RANGE: "variable number, value count or value slots unusable; nothing sent",
        Reason.SENT_SHORT: "short write: the request did not go out completely",
        Reason.ERROR_REPLY: "the remote computer answered ERROR",
        Reason.NO_KEYWORD: "write reply with neither OK nor ERROR",
    }.get(reason, "reason %d, unknown to this binding" % reason)  # type: ignore[call-overload]


def _bytes(pointer: "ctypes._Pointer[ctypes.c_uint8]", length: int) -> bytes:
    return ctypes.string_at(pointer, length) if pointer and length > 0 else b""


def copy(pointer: "ctypes._Pointer[records.ZelqdOutcome]") -> Optional[Outcome]:
    """The record as an Outcome; None for a record shorter than this
    binding's. A longer one (a newer driver's) is read as far as this
    binding knows its fields."""
    record = records.ZelqdOutcome()
    if pointer.contents.size < ctypes.sizeof(record):
        return None
    ctypes.memmove(ctypes.byref(record), pointer, ctypes.sizeof(record))
    return Outcome(
        kind=_known(OutcomeKind, record.kind),
        reason=_known(Reason, record.reason),
        key=_key(record.reason, record.replyReceived),
        text=_text(record),
        attempt=record.attempt,
        attempts=record.attempts,
        variable=record.variable,
        count=record.count,
        request=_bytes(record.request, record.requestLength),
        reply=_bytes(record.reply, record.replyReceived),
        reply_expected=record.replyExpected,
        system_error=record.systemError,
        open_step=_known(OpenStep, record.openStep),
        port_name=_bytes(record.portName, record.portNameLength).decode("latin-1"),  # type: ignore[arg-type]
        sent_ns=record.sentNs,
        first_reply_ns=record.firstReplyNs,
        ended_ns=record.endedNs,
    )


class Collector:
    """The outcomes of the call in progress on one DriverInstance."""

    __slots__ = ("outcomes", "__weakref__")

    def __init__(self) -> None:
        self.outcomes: List[Outcome] = []


# Instance address -> the collector of the Port that owns the instance. A
# Port that is collected drops out by itself.
_collectors: "weakref.WeakValueDictionary[int, Collector]" = weakref.WeakValueDictionary()


def listen(instance: ctypes.Structure, collector: Collector) -> None:
    """Records naming instance go to collector from now on."""
    _collectors[ctypes.addressof(instance)] = collector


def forget(instance: ctypes.Structure, collector: Collector) -> None:
    address = ctypes.addressof(instance)
    if _collectors.get(address) is collector:
        del _collectors[address]


_Observer = CFUNCTYPE(None, POINTER(records.ZelqdOutcome), c_void_p)


@_Observer
def _observe(pointer: "ctypes._Pointer[records.ZelqdOutcome]", context: int) -> None:
    try:
        collector = _collectors.get(pointer.contents.instance or 0)
        outcome = copy(pointer) if collector is not None else None
        if outcome is not None:
            collector.outcomes.append(outcome)  # type: ignore[union-attr]
    except BaseException:  # nothing may raise into the driver
        pass


def attach(library: ctypes.CDLL) -> bool:
    """Sets the process's observer in library, if it has the export."""
    try:
        setter = library.zelqd_set_observer
    except AttributeError:
        return False
    setter.restype = None
    setter.argtypes = [_Observer, c_void_p]
    setter(_observe, None)
    return True
