"""The driver's records, declared once, with the layouts of include/zelqd/zelqd.h.

Field names are the header's, so that a record can be checked field by field
against what a C compiler makes of the header. ctypes lays the fields out the
way the platform's C compiler does, which is what the header asks for: the
32-bit layouts on 32-bit targets, natural alignment on 64-bit ones.
"""

from __future__ import annotations

import enum
from ctypes import (
    POINTER,
    Structure,
    c_char,
    c_char_p,
    c_int32,
    c_uint8,
    c_uint16,
    c_uint32,
    c_void_p,
)

# Host result codes: the only values ZelMain returns.
RESULT_OK = 0
RESULT_REFUSED = 1
RESULT_FAILED = 2


class Code(enum.IntEnum):
    """Function codes of ZelMain."""

    OpenPort = 1
    PurgeInput = 2
    ParseAddress = 3
    CheckAddress = 4
    ReadVar = 5
    ReadBlock = 6
    WriteVar = 7
    WriteValue = 10
    Shutdown = 11
    ClosePort = 12
    ReopenPort = 13
    GetDriverInfo = 14
    ChangeZelParams = 15


INSTANCE_SIZE = 684
CLASS_NUMERIC = 255
CLASS_STOP = 1
MAX_BLOCK = 106
# The access kind under which ParseAddress accepts "$STOP" as well as the
# numeric addresses.
ACCESS_ANY = 6
# Variable numbers run from 0 to 99999 (five digits).
LAST_VARIABLE = 99999


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


# Every record of the header, for layout checks.
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
