"""The driver's numbers, as include/zelqd/zelqd.h and zelqd/observer.h give
them: the binding's only copy (its tests hold them against the headers).

Names are the headers' without their prefix: ZELQD_MAX_BLOCK is MAX_BLOCK,
ResultOk is Result.Ok, ZELQD_REASON_CHECKSUM is Reason.CHECKSUM.
"""

from __future__ import annotations

import enum

# Size of DriverInstance in bytes, as GetDriverInfo reports it.
INSTANCE_SIZE = 684
# Largest value count of one block read.
MAX_BLOCK = 106
# The reply time-out is counted in units of TIMEOUT_UNIT_MS; the read time-out
# in force is never below MIN_READ_TIMEOUT_MS; a transfer makes at most
# ATTEMPTS attempts.
TIMEOUT_UNIT_MS = 10
MIN_READ_TIMEOUT_MS = 1200
ATTEMPTS = 5
# The access kind under which ParseAddress accepts "$STOP" as well as the
# numeric addresses.
ACCESS_TRANSFER = 6
# Variable classes written by ParseAddress and read by the transfer codes.
CLASS_NUMERIC = 255
CLASS_STOP = 1

# Variable numbers are five digits: 0 to 99999 (the address syntax, not a
# #define of the header).
LAST_VARIABLE = 99999


class Result(enum.IntEnum):
    """The only values ZelMain returns (enum ZelResult)."""

    Ok = 0
    Refused = 1
    Failed = 2


class Code(enum.IntEnum):
    """Function codes of ZelMain (enum ZelFunctionCode)."""

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


class OutcomeKind(enum.IntEnum):
    """What an outcome record describes (enum ZelqdOutcomeKind)."""

    ATTEMPT = 1
    OPEN = 2


class Reason(enum.IntEnum):
    """How an attempt or an open ended (enum ZelqdReason)."""

    OK = 0
    OUT_OF_RANGE = 1
    SENT_SHORT = 2
    TIMEOUT = 3
    CHECKSUM = 4
    ERROR_REPLY = 5
    NO_KEYWORD = 6
    BAD_VALUE_GROUP = 7
    HANG_UP = 8
    IO_ERROR = 9
    OPEN_FAILED = 10


class OpenStep(enum.IntEnum):
    """The step of an open that failed (enum ZelqdOpenStep)."""

    NONE = 0
    NAME = 1
    OPEN = 2
    LOCK = 3
    EXCLUSIVE = 4
    SETTINGS = 5
    TIMEOUTS = 6
