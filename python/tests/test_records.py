"""The binding's records against the header: the sizes and offsets a C
compiler gives them on this machine, and the fields the driver fills."""

from __future__ import annotations

import ctypes
import re
import shutil
import subprocess
from pathlib import Path
from typing import Dict

import pytest

import zelqd
from zelqd import _records as records
from zelqd._facts import Code, Result

HEADERS = Path(__file__).resolve().parents[2] / "include" / "zelqd"
HEADER = HEADERS / "observer.h"  # includes zelqd.h
MARK = 0x5A


@pytest.fixture(scope="module")
def c_layout(tmp_path_factory: pytest.TempPathFactory) -> Dict[str, int]:
    """"Record" -> size, "Record.field" -> offset and "Record.field size" ->
    size, as the C compiler lays out the header."""
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None or not HEADER.is_file():
        pytest.skip("needs a C compiler and the header")
    lines = []
    for record in records.RECORDS:
        name = record.__name__
        lines.append('printf("%s %%zu\\n", sizeof(%s));' % (name, name))
        for field, *_ in record._fields_:
            lines.append('printf("%s.%s %%zu\\n", offsetof(%s, %s));' % (name, field, name, field))
            lines.append('printf("%s.%s size %%zu\\n", sizeof(((%s*)0)->%s));' % (name, field, name, field))
    folder = tmp_path_factory.mktemp("layout")
    source = folder / "layout.c"
    source.write_text(
        "#include <stddef.h>\n#include <stdio.h>\n#include \"zelqd/observer.h\"\n"
        "int main(void) {\n%s\nreturn 0;\n}\n" % "\n".join(lines)
    )
    program = folder / "layout"
    include = HEADER.parent.parent
    subprocess.run([compiler, "-I", str(include), "-o", str(program), str(source)], check=True)
    output = subprocess.run([str(program)], check=True, capture_output=True, text=True).stdout
    return {key: int(value) for key, value in (line.rsplit(" ", 1) for line in output.splitlines())}


def test_every_record_of_the_header_is_declared():
    text = "".join(header.read_text() for header in HEADERS.glob("*.h"))
    declared = set(re.findall(r"typedef struct (\w+) \{", text))
    assert declared == {record.__name__ for record in records.RECORDS}


@pytest.mark.parametrize("record", records.RECORDS, ids=lambda record: record.__name__)
def test_layout_matches_the_compiler(c_layout, record):
    name = record.__name__
    assert ctypes.sizeof(record) == c_layout[name]
    for field, kind in record._fields_:
        where = "%s.%s" % (name, field)
        assert (getattr(record, field).offset, ctypes.sizeof(kind)) == (
            c_layout[where],
            c_layout[where + " size"],
        ), where


def _marked(record):
    block = record()
    ctypes.memset(ctypes.addressof(block), MARK, ctypes.sizeof(block))
    return block


def test_driver_fills_the_info_block_as_declared(driver):
    """GetDriverInfo writes known values at known offsets and leaves its
    reserved bytes alone: read back through the binding's record."""
    info = _marked(records.DriverInfo)
    assert driver.call(Code.GetDriverInfo, info)[0] == Result.Ok
    assert (info.infoTag, info.shortName, info.instanceSize, info.infoFlagA, info.infoFlagB) == (
        70,
        b"General Purpose",
        ctypes.sizeof(records.DriverInstance),
        1,
        1,
    )
    assert set(bytes(info.reserved20)) == {MARK}


def test_driver_info(driver):
    info = zelqd.driver_info(driver)
    lines = info.banner.split("\n")
    assert (info.short_name, info.instance_size) == ("General Purpose", ctypes.sizeof(records.DriverInstance))
    assert info.library == driver.path
    assert len(info.banner.encode("cp437")) == 316 and [len(line) for line in lines] == [0] + [62] * 5 + [0]
