"""Port against zelsim: reads, writes, blocks, STOP, the exceptions, and
what the binding refuses before anything reaches the line."""

from __future__ import annotations

import errno
import os
import threading

import pytest

import zelqd

# Variable -> value as zelsim holds it (an unsigned 32-bit number).
VALUES = {
    2: 42,
    3: 0x7FFFFFFF,
    4: 0x80000000,
    5: 0xFFFFFFFF,
    6: 0x12345678,
    7: 0x0000FFFF,
    8: 0x00010000,
    **{100 + i: 1000 + 7 * i for i in range(10)},
    200: 0xFFFFFFF0,
    305: 77,
    **{99995 + i: 99995 + i for i in range(5)},
}
# Writes to 13 get ERROR replies; replies to reads of 14 are corrupted;
# requests concerning 20 go unanswered.
ZELSIM_ARGUMENTS = ("--error", "var:13", "--corrupt", "var:14", "--silent", "var:20")


class TestRead:
    @pytest.mark.parametrize(
        "number, expected",
        [(1, 0), (2, 42), (3, 2147483647), (4, -2147483648), (5, -1), (6, 305419896), (7, 65535), (8, 65536)],
    )
    def test_value_is_signed_32_bit(self, port, number, expected):
        assert port.read(number) == expected

    @pytest.mark.parametrize("address", [6, "6", "00006", "$00006", "$00006 "])
    def test_address_forms_name_one_variable(self, port, address):
        assert port.read(address) == 0x12345678

    def test_block_of_consecutive_variables(self, port):
        assert port.read_block("$00100", 10) == [VALUES[100 + i] for i in range(10)]
        assert port.read_block(99995, 5) == [99995, 99996, 99997, 99998, 99999]
        assert port.read_block(100, 0) == []

    def test_largest_block(self, port):
        values = port.read_block(200, 106)
        assert len(values) == 106
        assert (values[0], values[105]) == (-16, 77)
        assert values[1:105] == [0] * 104


@pytest.mark.parametrize(
    "number, value, read_back",
    [
        (40, 0, 0),
        (43, 1, 1),
        (46, -1, -1),
        (49, 2**31 - 1, 2**31 - 1),
        (52, -(2**31), -(2**31)),
        (55, 2**32 - 1, -1),
        (58, 2**31, -(2**31)),
        (61, 0x0001FFFE, 0x0001FFFE),
        (64, -0x12345678, -0x12345678),
    ],
)
def test_write_lands_on_its_variable_alone(port, number, value, read_back):
    # Variables three apart: the neighbours of each stay 0.
    port.write(number, value)
    assert port.read_block(number - 1, 3) == [0, read_back, 0]


class TestStop:
    def test_stop_and_resume(self, port):
        assert (port.stopped, port.read("$STOP")) == (False, 0)
        port.stop()
        assert (port.stopped, port.read("$stop")) == (True, 1)
        port.write("$Stop", 0)
        assert (port.stopped, port.read(2)) == (False, 42)

    @pytest.mark.parametrize(
        "operation, call",
        [
            ("ReadVar", lambda p: p.read(2)),
            ("WriteVar", lambda p: p.write(2, 7)),
            ("ReadBlock", lambda p: p.read_block(100, 2)),
        ],
    )
    def test_transfers_refused_while_stopped(self, port, operation, call):
        port.stop()
        with pytest.raises(zelqd.Refused) as refused:
            call(port)
        assert (refused.value.operation, refused.value.port) == (operation, port.name)
        assert "suspended by STOP" in str(refused.value)
        port.resume()
        assert port.read(2) == 42


@pytest.mark.parametrize(
    "operation, address, call, key, text",
    [
        ("ReadVar", "$00002", lambda p: p.read(2), "ok", "ok"),
        ("WriteVar", "$00013", lambda p: p.write(13, 1), "error_reply", "the remote computer answered ERROR"),
        ("ReadVar", "$00014", lambda p: p.read(14), "checksum", "checksum: expected "),
        ("ReadBlock", "$00014", lambda p: p.read_block(14, 2), "checksum", "checksum: expected "),
        ("ReadVar", "$00020", lambda p: p.read(20), "no_reply", "no reply within the time-out (0 of 12"),
    ],
)
def test_each_attempt_says_why(port, driver, operation, address, call, key, text):
    assert driver.observes, "the driver under test reports no outcomes"
    if key == "ok":
        call(port)
        attempts = port.outcomes
    else:
        with pytest.raises(zelqd.Failed) as failed:
            call(port)
        error = failed.value
        attempts = error.outcomes
        assert (error.operation, error.address, error.reason) == (operation, address, key)
        assert attempts == port.outcomes
        assert str(error).endswith(" failed: %s (attempt 5 of 5)" % attempts[-1].text)
    tries = 1 if key == "ok" else 5
    assert [(o.attempt, o.attempts, o.key, o.variable) for o in attempts] == [
        (n, 5, key, int(address[1:])) for n in range(1, tries + 1)
    ]
    assert all(o.text.startswith(text) and o.request[3:8] == address[1:].encode() for o in attempts)


def test_open_failure_says_why(driver):
    with pytest.raises(zelqd.Failed) as failed:
        zelqd.Port("ttyNOPE", library=driver)
    error = failed.value
    assert (error.operation, error.port, error.reason) == ("OpenPort", "ttyNOPE", "open_failed")
    # Beside every driver the tests run (build tree, installed) lies the
    # host's message library, so the message is always caught.
    assert driver.message_library is not None
    assert error.messages == ("ZELGeneral Purpose : Fail to open ttyNOPE",)
    (outcome,) = error.outcomes
    assert (outcome.kind, outcome.open_step, outcome.port_name, outcome.system_error) == (
        zelqd._facts.OutcomeKind.OPEN, zelqd._facts.OpenStep.OPEN, "ttyNOPE", errno.ENOENT,
    )
    assert str(error) == "cannot open port 'ttyNOPE': open: %s (errno %d); %s" % (
        os.strerror(errno.ENOENT), errno.ENOENT, error.messages[0],
    )


@pytest.mark.parametrize(
    "address",
    ["$1234", "$123456", "$1234567", "", " $12345", "$-1234", "12345a", "-1", "$STO", "$STOPX",
     "STOP", -1, 100000, "$00042\0", "$0004\u00b2", "$0004\u4e8c"],
)
def test_bad_address_refused_by_the_driver(port, address):
    with pytest.raises(zelqd.BadAddress) as refused:
        port.read(address)
    assert isinstance(refused.value, ValueError)
    assert isinstance(refused.value, zelqd.Refused)


@pytest.mark.parametrize("address", [4.0, None, b"$00042", True, [42]])
def test_address_of_another_type(port, address):
    with pytest.raises(TypeError):
        port.read(address)


@pytest.mark.parametrize(
    "error, call",
    [
        (ValueError, lambda p: p.write(30, 2**32)),
        (ValueError, lambda p: p.write(30, -(2**31) - 1)),
        (ValueError, lambda p: p.write("$STOP", 2)),
        (ValueError, lambda p: p.write("$STOP", -1)),
        (ValueError, lambda p: p.read_block(30, 107)),
        (ValueError, lambda p: p.read_block(30, -1)),
        (ValueError, lambda p: p.read_block(99999, 2)),
        (ValueError, lambda p: p.read_block("$STOP", 1)),
        (TypeError, lambda p: p.write(30, 1.0)),
        (TypeError, lambda p: p.write(30, "5")),
        (TypeError, lambda p: p.write(30, None)),
        (TypeError, lambda p: p.write(30, True)),
        (TypeError, lambda p: p.read_block(30, 2.0)),
    ],
)
def test_bad_value_refused_before_the_line(port, error, call):
    with pytest.raises(error):
        call(port)
    assert (port.read(30), port.stopped) == (0, False)


@pytest.mark.parametrize(
    "error, settings",
    [
        (ValueError, {"name": ""}),
        (ValueError, {"name": "ttyUSB012345"}),
        (ValueError, {"name": "tty\nUSB0"}),
        (TypeError, {"name": None}),
        (ValueError, {"baud": 0}),
        (ValueError, {"baud": 115200}),
        (ValueError, {"data_bits": 4}),
        (ValueError, {"data_bits": 9}),
        (ValueError, {"parity": "x"}),
        (ValueError, {"stop_bits": 3}),
        (ValueError, {"timeout_ms": -1}),
        (TypeError, {"timeout_ms": 1.5}),
    ],
)
def test_bad_setting_opens_nothing(zelsim, driver, error, settings):
    arguments = {"name": zelsim.port, **settings}
    with pytest.raises(error):
        zelqd.Port(library=driver, **arguments)


@pytest.mark.parametrize(
    "asked, in_force", [(0, 1200), (500, 1200), (1200, 1200), (1201, 1210), (2500, 2500)]
)
def test_reply_time_out(zelsim, driver, asked, in_force):
    with zelqd.Port(zelsim.port, timeout_ms=asked, library=driver) as port:
        assert port.timeout_ms == in_force


def test_closed_port(zelsim, driver):
    with zelqd.Port(zelsim.port, baud=19200, parity="Even", stop_bits=2, library=driver) as port:
        assert port.read(2) == 42
    assert port.closed and "closed" in repr(port)
    port.close()
    with pytest.raises(ValueError):
        port.read(2)
    # Closed means released: the port opens again at once.
    with zelqd.Port(zelsim.port, library=driver) as again:
        assert again.read(2) == 42


def test_threads_sharing_a_port_take_turns(port):
    """Two threads on one Port: each call completes before the next starts,
    so every read sees its own reply."""
    results = {}

    def reader(number):
        results[number] = [port.read(number) for _ in range(40)]

    threads = [threading.Thread(target=reader, args=(number,)) for number in (2, 6)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == {2: [42] * 40, 6: [0x12345678] * 40}
