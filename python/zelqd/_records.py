"""The driver's records, declared once, with the layouts of include/zelqd/zelqd.h
and zelqd/observer.h.

Field names are the header's, so that a record can be checked field by field
against what a C compiler makes of the header. ctypes lays the fields out the
way the platform's C compiler does, which is what the header asks for: the
32-bit layouts on 32-bit targets, natural alignment on 64-bit ones.
"""

from __future__ import annotations

from ctypes import (
    POINTER,
    Structure,
    c_char,
    c_char_p,
    c_int32,
    c_uint8,
    c_uint16,
    c_uint32,
    c_uint64,
    c_void_p,
)


class LineSettings(Structure):
    _fields_ = [
        ("baudRate", c_uint16),
        ("dataBits", c_uint8),
        ("reserved3", c_uint8),
        ("stopBits", c_uint8),
        ("reserved5", c_uint8),
        ("parity", c_uint8),
        ("reserved7", c_uint8),
    ]


class PortSpec(Structure):
    _fields_ = [
        ("name", c_char * 12),
        ("settings", LineSettings),
        ("controlFlags", c_uint16),
    ]


class DriverInstance(Structure):
    _fields_ = [
        ("replyTimeout", c_int32),
        ("port", c_uint32),
        ("active", c_int32),
        ("reserved12", c_uint8 * 640),
        ("sequence", c_uint16),
        ("leadByte", c_uint8),
        ("reserved655", c_uint8 * 3),
        ("stopped", c_uint16),
        ("portSpec", PortSpec),
        ("reserved682", c_uint8 * 2),
    ]


class DriverCall(Structure):
    _fields_ = [
        ("instance", POINTER(DriverInstance)),
        ("code", c_int32),
        ("reserved8", c_uint8 * 8),
        ("params", c_void_p),
    ]


class DriverInfo(Structure):
    _fields_ = [
        ("infoTag", c_int32),
        ("shortName", c_char_p),
        ("banner", c_char_p),
        ("instanceSize", c_int32),
        ("infoFlagA", c_int32),
        ("reserved20", c_uint8 * 8),
        ("infoFlagB", c_int32),
    ]


class AddressRequest(Structure):
    _fields_ = [
        ("addressText", c_char_p),
        ("reserved4", c_int32),
        ("accessKind", c_int32),
        ("reserved12", c_int32),
        ("presetZero", c_int32),
        ("typeLetter", c_int32),
        ("variableNumber", c_int32),
        ("variableClass", c_int32),
        ("presetThirtyTwo", c_int32),
    ]


class OpenRequest(Structure):
    _fields_ = [
        ("name", c_char * 12),
        ("active", c_int32),
        ("replyTimeout", c_int32),
        ("settings", LineSettings),
    ]


class PortChangeRequest(Structure):
    _fields_ = [
        ("name", c_char * 16),
        ("settings", LineSettings),
    ]


class ValueSlot(Structure):
    """One 32-bit value as two 16-bit words, the high half first."""

    _fields_ = [
        ("high", c_uint16),
        ("low", c_uint16),
    ]


class TransferRequest(Structure):
    _fields_ = [
        ("reserved0", c_uint8 * 16),
        ("variableNumber", c_int32),
        ("variableClass", c_int32),
        ("reserved24", c_uint8 * 8),
        ("valueCount", c_int32),
        ("reserved36", c_uint8 * 4),
        ("values", POINTER(ValueSlot)),
    ]


class ZelqdOutcome(Structure):
    """How one attempt, or one failed open, ended (the observer's record)."""

    _fields_ = [
        ("size", c_uint32),
        ("kind", c_int32),
        ("reason", c_int32),
        ("result", c_int32),
        ("instance", c_void_p),
        ("attempt", c_int32),
        ("attempts", c_int32),
        ("variable", c_int32),
        ("count", c_int32),
        ("request", POINTER(c_uint8)),
        ("requestLength", c_int32),
        ("reply", POINTER(c_uint8)),
        ("replyExpected", c_int32),
        ("replyReceived", c_int32),
        ("badGroup", c_int32),
        ("checksumExpected", c_uint8 * 2),
        ("checksumSeen", c_uint8 * 2),
        ("sentNs", c_uint64),
        ("firstReplyNs", c_uint64),
        ("endedNs", c_uint64),
        ("openStep", c_int32),
        ("portName", POINTER(c_char)),
        ("portNameLength", c_int32),
        ("systemError", c_int32),
    ]


# Every record of the headers, for layout checks.
RECORDS = (
    LineSettings,
    PortSpec,
    DriverInstance,
    DriverCall,
    DriverInfo,
    AddressRequest,
    OpenRequest,
    PortChangeRequest,
    ValueSlot,
    TransferRequest,
    ZelqdOutcome,
)


def slot_value(slot: ValueSlot) -> int:
    """The slot's value as a signed 32-bit integer."""
    unsigned = (slot.high << 16) | slot.low
    return unsigned - (1 << 32) if unsigned & 0x80000000 else unsigned


def set_slot(slot: ValueSlot, value: int) -> None:
    """Stores a value from -2**31 to 2**32 - 1 (checked by the caller)."""
    unsigned = value & 0xFFFFFFFF
    slot.high = unsigned >> 16
    slot.low = unsigned & 0xFFFF
