"""Addresses and values, checked before anything reaches the line.

Every address is judged by the driver itself (ParseAddress); the binding only
turns the short forms into the driver's: 42 and "42" become "$00042".
"""

from __future__ import annotations

import operator
from typing import NamedTuple, Union

from . import _records as records
from ._errors import BadAddress
from ._facts import ACCESS_TRANSFER, CLASS_STOP, LAST_VARIABLE, MAX_BLOCK, Code, Result
from ._library import Driver

Address = Union[str, int]

_FORMS = "addresses are '$' and five digits ('$00042'), a number (42 or '42'), or '$STOP'"


class Variable(NamedTuple):
    """A variable as the transfer codes name it."""

    text: str  # "$00042" or "$STOP"
    number: int
    variable_class: int

    @property
    def is_stop(self) -> bool:
        return self.variable_class == CLASS_STOP


def _driver_text(address: Address) -> str:
    if isinstance(address, bool) or not isinstance(address, (int, str)):
        raise TypeError("an address is a str or an int, not %s; %s" % (type(address).__name__, _FORMS))
    if isinstance(address, int):
        return "$%05d" % address
    if address.isascii() and address.isdigit():
        return "$" + address.zfill(5)
    return address


def parse_address(driver: Driver, address: Address) -> Variable:
    """The variable that address names, as the driver's ParseAddress reads it.

    Raises:
        BadAddress: the driver refused the address.
        TypeError: address is neither a str nor an int.
    """
    text = _driver_text(address)
    refused = BadAddress(
        "address %r refused by the driver; %s" % (address, _FORMS),
        operation="ParseAddress",
        address=text,
    )
    # The driver reads the text up to its NUL: a NUL inside would hide the rest.
    if "\0" in text:
        raise refused
    try:
        encoded = text.encode("latin-1")
    except UnicodeEncodeError:
        raise refused from None
    request = records.AddressRequest()
    request.addressText = encoded
    request.accessKind = ACCESS_TRANSFER
    result, _ = driver.call(Code.ParseAddress, request)
    if result != Result.Ok:
        raise refused
    if request.variableClass == CLASS_STOP:
        return Variable("$STOP", 0, CLASS_STOP)
    number = request.variableNumber
    return Variable("$%05d" % number, number, request.variableClass)


def integer(value: object, what: str) -> int:
    """value as an int; bools and non-integers are refused with TypeError."""
    if isinstance(value, bool):
        raise TypeError("%s is an int, not a bool" % what)
    try:
        return operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError("%s is an int, not %s" % (what, type(value).__name__)) from None


def value_to_write(variable: Variable, value: object) -> int:
    """The value for a write to variable, checked.

    A numeric variable takes -2**31 to 2**32 - 1 (signed or unsigned 32-bit);
    $STOP takes 0 (resume) or 1 (stop).
    """
    number = integer(value, "a value")
    if variable.is_stop:
        if number not in (0, 1):
            raise ValueError("$STOP takes 0 (resume traffic) or 1 (stop it), not %d" % number)
    elif not -(1 << 31) <= number <= (1 << 32) - 1:
        raise ValueError("%d does not fit 32 bits (from -2**31 to 2**32 - 1)" % number)
    return number


def block_count(variable: Variable, count: object) -> int:
    """The value count of a block read from variable, checked."""
    number = integer(count, "a count")
    if variable.is_stop:
        raise ValueError("$STOP is not read as a block; read it with read('$STOP')")
    if not 0 <= number <= MAX_BLOCK:
        raise ValueError("a block holds 0 to %d values, not %d" % (MAX_BLOCK, number))
    if variable.number + number - 1 > LAST_VARIABLE:
        raise ValueError(
            "%d values from %s run past the last variable $%05d"
            % (number, variable.text, LAST_VARIABLE)
        )
    return number
