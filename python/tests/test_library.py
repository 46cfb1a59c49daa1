"""Finding the driver: the explicit path, then ZELQD_LIBRARY, then the
loader's search; an error that lists where it looked."""

from __future__ import annotations

import os

import pytest

import zelqd
from zelqd import _library

from conftest import DRIVER_FILE

MESSAGE_LIBRARY = DRIVER_FILE.parent.parent / "tools" / "dravun" / "libdravun.so"
MISSING = "/nonexistent/libzelqd.so.1"


@pytest.mark.parametrize(
    "path, variable, expected",
    [
        (MISSING, None, ["the path given: " + MISSING + ": "]),
        (MISSING, str(DRIVER_FILE), ["the path given: " + MISSING + ": "]),
        (None, MISSING, ["ZELQD_LIBRARY: " + MISSING + ": "]),
        (MESSAGE_LIBRARY, None, ["the path given: %s: no ZelMain in it" % MESSAGE_LIBRARY]),
        (None, None, ["ZELQD_LIBRARY: not set", "the loader's search: libzelqd-absent.so.1: "]),
    ],
)
def test_where_it_looked(monkeypatch, path, variable, expected):
    monkeypatch.setattr(_library, "_DRIVER_NAME", "libzelqd-absent.so.1")
    if variable is None:
        monkeypatch.delenv("ZELQD_LIBRARY", raising=False)
    else:
        monkeypatch.setenv("ZELQD_LIBRARY", variable)
    with pytest.raises(zelqd.LibraryNotFound) as missing:
        zelqd.load(path)
    assert isinstance(missing.value, OSError)
    looked = [line.strip() for line in str(missing.value).splitlines()[1:-1]]
    assert len(looked) == len(expected)
    for line, start in zip(looked, expected):
        assert line.startswith(start)


@pytest.mark.parametrize("given_as", ["argument", "variable"])
def test_driver_found(monkeypatch, given_as):
    argument = DRIVER_FILE if given_as == "argument" else None
    monkeypatch.setenv("ZELQD_LIBRARY", MISSING if argument else str(DRIVER_FILE))
    assert zelqd.load(argument).path == os.path.realpath(DRIVER_FILE)
    assert zelqd.driver_info(argument).library == os.path.realpath(DRIVER_FILE)
