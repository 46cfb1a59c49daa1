"""A port opened through the driver."""

from __future__ import annotations

import ctypes
import threading
from types import TracebackType
from typing import List, Optional, Tuple, Type, Union

from . import _outcomes as outcomes
from . import _records as records
from ._address import Address, Variable, block_count, integer, parse_address, value_to_write
from ._errors import Failed, Refused
from ._facts import ATTEMPTS, MIN_READ_TIMEOUT_MS, TIMEOUT_UNIT_MS, Code, Result
from ._library import Driver, PathArg, load
from ._outcomes import Outcome

_PARITIES = {"none": 0, "odd": 1, "even": 2, "mark": 3, "space": 4}
_STOP_BITS = {1: 0, 1.5: 1, 2: 2}
# The longest port name the driver's records hold (with its NUL).
_NAME_LIMIT = records.PortSpec.name.size - 1


def _driver_of(library: Union[None, PathArg, Driver]) -> Driver:
    return library if isinstance(library, Driver) else load(library)


def _port_name(name: object) -> bytes:
    if not isinstance(name, str):
        raise TypeError("a port name is a str, not %s" % type(name).__name__)
    if not name or len(name) > _NAME_LIMIT or not name.isascii() or not name.isprintable():
        raise ValueError(
            "a port name is 1 to %d printable ASCII characters (e.g. 'ttyUSB0', 'COM3'), "
            "not %r" % (_NAME_LIMIT, name)
        )
    return name.encode("ascii")


def _in_range(value: object, what: str, low: int, high: int) -> int:
    number = integer(value, what)
    if not low <= number <= high:
        raise ValueError("%s is %d to %d, not %d" % (what, low, high, number))
    return number


def _line_settings(baud: int, data_bits: int, parity: str, stop_bits: float) -> records.LineSettings:
    settings = records.LineSettings()
    # The driver's record holds the rate in 16 bits.
    settings.baudRate = _in_range(baud, "baud", 1, 0xFFFF)
    settings.dataBits = _in_range(data_bits, "data_bits", 5, 8)
    if not isinstance(parity, str) or parity.lower() not in _PARITIES:
        raise ValueError("parity is one of %s, not %r" % (", ".join(_PARITIES), parity))
    settings.parity = _PARITIES[parity.lower()]
    if isinstance(stop_bits, bool) or stop_bits not in _STOP_BITS:
        raise ValueError("stop_bits is 1, 1.5 or 2, not %r" % (stop_bits,))
    settings.stopBits = _STOP_BITS[stop_bits]
    return settings


class Port:
    """A serial port to the remote computer, opened through the driver.

    Opens the port at once; use it as a context manager, or call close()::

        with zelqd.Port("ttyUSB0", baud=9600) as port:
            level = port.read("$00042")
            port.write(43, -5)

    Args:
        name: the port as the driver names it: "ttyUSB0" (for /dev/ttyUSB0),
            "/dev/ttyS1", "COM1" (the first serial port); at most 11
            characters.
        baud: bits per second, 1 to 65535.
        data_bits: 5 to 8.
        parity: "none", "odd", "even", "mark" or "space".
        stop_bits: 1, 1.5 or 2.
        timeout_ms: how long to wait for a reply, per attempt; the driver
            rounds up to 10 ms and never waits less than 1200 ms. A transfer
            makes up to five attempts.
        library: the driver's file, or a Driver from zelqd.load(); by default
            the driver is found as zelqd.load() finds it.

    Raises:
        Failed: the port could not be opened (the driver's message attached).
        ValueError, TypeError: a setting is out of range or of the wrong type.
        LibraryNotFound: the driver could not be loaded.

    Threads: give each thread its own Port. Calls on one Port from several
    threads are safe but wait for each other.
    """

    def __init__(
        self,
        name: str,
        baud: int = 9600,
        data_bits: int = 8,
        parity: str = "none",
        stop_bits: float = 1,
        timeout_ms: int = MIN_READ_TIMEOUT_MS,
        *,
        library: Union[None, PathArg, Driver] = None,
    ) -> None:
        self._open = False
        self._lock = threading.Lock()
        encoded = _port_name(name)
        settings = _line_settings(baud, data_bits, parity, stop_bits)
        wait = _in_range(timeout_ms, "timeout_ms", 0, 0x7FFFFFFF * TIMEOUT_UNIT_MS)
        self._driver = _driver_of(library)
        self._name = name
        self._instance = records.DriverInstance()
        self._collector = outcomes.Collector()
        self._outcomes: Tuple[Outcome, ...] = ()
        outcomes.listen(self._instance, self._collector)

        request = records.OpenRequest()
        request.name = encoded
        request.active = 1
        request.replyTimeout = -(-wait // TIMEOUT_UNIT_MS)
        request.settings = settings
        result, messages, attempts = self._call(Code.OpenPort, request)
        if result != Result.Ok:
            text = "cannot open port %r" % name
            if attempts:
                text += ": " + attempts[-1].text
            if not messages and self._driver.message_library is None:
                text += " (the driver's message went to standard error)"
            outcomes.forget(self._instance, self._collector)
            raise Failed(text, operation="OpenPort", port=name, messages=messages, outcomes=attempts)
        self._open = True

    # -- life cycle --------------------------------------------------------

    def close(self) -> None:
        """Closes the port; closing a closed port does nothing.

        Raises:
            Failed: the system refused to close it; the port stays open and
                close() may be tried again.
        """
        with self._lock:
            if not self._open:
                return
            result, messages = self._driver.call(Code.ClosePort, None, self._instance)
            if result != Result.Ok:
                raise Failed(
                    "cannot close port %r" % self._name,
                    operation="ClosePort",
                    port=self._name,
                    messages=messages,
                )
            self._open = False
            outcomes.forget(self._instance, self._collector)

    def __enter__(self) -> "Port":
        return self

    def __exit__(
        self,
        kind: Optional[Type[BaseException]],
        error: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None:
        self.close()

    def __del__(self) -> None:
        # A port left open by its owner is closed when it is collected.
        try:
            if self._open:
                self._driver.call(Code.ClosePort, None, self._instance)
        except Exception:
            pass

    def __repr__(self) -> str:
        state = "open" if self._open else "closed"
        return "<zelqd.Port %r %s>" % (getattr(self, "_name", None), state)

    # -- properties --------------------------------------------------------

    @property
    def name(self) -> str:
        """The port's name as given."""
        return self._name

    @property
    def closed(self) -> bool:
        """True once the port is closed."""
        return not self._open

    @property
    def timeout_ms(self) -> int:
        """The reply time-out in force, in milliseconds (at least 1200)."""
        return self._instance.replyTimeout * TIMEOUT_UNIT_MS

    @property
    def driver(self) -> Driver:
        """The driver this port runs on."""
        return self._driver

    @property
    def outcomes(self) -> Tuple[Outcome, ...]:
        """How each attempt of the last transfer ended (reason key and text,
        the bytes sent and received), as the driver reported it; empty
        after a transfer refused before the line, and for a driver that
        does not report (Driver.observes)."""
        return self._outcomes

    @property
    def stopped(self) -> bool:
        """True while traffic is suspended by STOP (asks no remote computer)."""
        return self.read("$STOP") == 1

    # -- transfers ---------------------------------------------------------

    def read(self, address: Address) -> int:
        """Reads one variable: a signed 32-bit value (for "$STOP": 0 or 1).

        Raises:
            BadAddress: the driver refused the address.
            Refused: traffic is suspended by STOP.
            Failed: no attempt got a valid reply; the error says why the
                last one failed.
        """
        variable = parse_address(self._driver, address)
        slot = records.ValueSlot()
        self._transfer(Code.ReadVar, variable, ctypes.pointer(slot))
        return records.slot_value(slot)

    def read_block(self, address: Address, count: int) -> List[int]:
        """Reads count (0 to 106) consecutive variables from address on, as
        signed 32-bit values, in one exchange.

        Raises:
            BadAddress: the driver refused the address.
            ValueError: count is out of range, the block runs past $99999,
                or the address is $STOP.
            Refused: traffic is suspended by STOP.
            Failed: no attempt got a valid reply; the error says why the
                last one failed.
        """
        variable = parse_address(self._driver, address)
        number = block_count(variable, count)
        slots = (records.ValueSlot * max(number, 1))()
        self._transfer(
            Code.ReadBlock,
            variable,
            ctypes.cast(slots, ctypes.POINTER(records.ValueSlot)),
            number,
        )
        return [records.slot_value(slots[i]) for i in range(number)]

    def write(self, address: Address, value: int) -> None:
        """Writes one variable: an int from -2**31 to 2**32 - 1 (sent as its
        32 bits), or 0 or 1 to "$STOP" (resume or stop traffic).

        Raises:
            BadAddress: the driver refused the address.
            ValueError: the value does not fit.
            TypeError: the value is not an int.
            Refused: traffic is suspended by STOP.
            Failed: no attempt got a valid reply (or an ERROR reply); the
                error says why the last one failed.
        """
        variable = parse_address(self._driver, address)
        slot = records.ValueSlot()
        records.set_slot(slot, value_to_write(variable, value))
        self._transfer(Code.WriteVar, variable, ctypes.pointer(slot))

    def stop(self) -> None:
        """Suspends all traffic of this port: transfers are refused until
        resume(). Nothing goes on the line."""
        self.write("$STOP", 1)

    def resume(self) -> None:
        """Lets traffic go again after stop()."""
        self.write("$STOP", 0)

    def _transfer(
        self,
        code: Code,
        variable: Variable,
        values: "ctypes._Pointer[records.ValueSlot]",
        count: int = 1,
    ) -> None:
        request = records.TransferRequest()
        request.variableNumber = variable.number
        request.variableClass = variable.variable_class
        request.valueCount = count
        request.values = values
        with self._lock:
            if not self._open:
                raise ValueError("port %r is closed" % self._name)
            result, messages, attempts = self._call(code, request)
        if result == Result.Ok:
            return
        where = "%s of %s on %r" % (code.name, variable.text, self._name)
        if result == Result.Refused:
            raise Refused(
                where + " refused: traffic is suspended by STOP",
                operation=code.name,
                port=self._name,
                address=variable.text,
                messages=messages,
            )
        if attempts:
            last = attempts[-1]
            why = "%s (attempt %d of %d)" % (last.text, last.attempt, last.attempts)
        elif self._driver.observes:
            why = "the driver reported no attempt"
        else:
            why = "no valid reply in %d attempts (this driver does not report why)" % ATTEMPTS
        raise Failed(
            where + " failed: " + why,
            operation=code.name,
            port=self._name,
            address=variable.text,
            messages=messages,
            outcomes=attempts,
        )

    def _call(self, code: Code, params: ctypes.Structure) -> Tuple[int, Tuple[str, ...], Tuple[Outcome, ...]]:
        """Calls the driver on this port's instance: its result, its messages
        and the outcomes it reported for the call (kept as the last ones)."""
        self._collector.outcomes = []
        try:
            result, messages = self._driver.call(code, params, self._instance)
        finally:
            self._outcomes = tuple(self._collector.outcomes)
            self._collector.outcomes = []
        return result, messages, self._outcomes
