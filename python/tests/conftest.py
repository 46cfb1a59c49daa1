"""Fixtures: the driver under test, and a zelsim on a new pseudo-terminal
for each test module that asks for one.

The driver and zelsim are taken from ZELQD_LIBRARY and ZELSIM, else from the
native build tree (build/native). The package under test is the one Python
finds (an installed copy), else the source tree's.
"""

from __future__ import annotations

import importlib.util
import os
import re
import select
import subprocess
import sys
import time
from pathlib import Path
from typing import Dict, Iterator, Sequence

import pytest

ROOT = Path(__file__).resolve().parents[2]
if importlib.util.find_spec("zelqd") is None:
    sys.path.insert(0, str(ROOT / "python"))

import zelqd  # noqa: E402

DRIVER_FILE = Path(os.environ.get("ZELQD_LIBRARY") or ROOT / "build/native/src/libzelqd.so")
ZELSIM_FILE = Path(os.environ.get("ZELSIM") or ROOT / "build/native/tools/zelsim/zelsim")

def pytest_report_header(config: pytest.Config) -> str:
    return "zelqd: %s; driver: %s; zelsim: %s" % (zelqd.__file__, DRIVER_FILE, ZELSIM_FILE)


@pytest.fixture(scope="session")
def driver() -> zelqd.Driver:
    if not DRIVER_FILE.is_file():
        pytest.fail("no driver at %s: build the native preset or set ZELQD_LIBRARY" % DRIVER_FILE)
    return zelqd.load(DRIVER_FILE)


def _first_line(process: subprocess.Popen, seconds: float) -> bytes:
    assert process.stdout is not None
    deadline = time.monotonic() + seconds
    line = b""
    while not line.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([process.stdout], [], [], left)[0]:
            break
        chunk = os.read(process.stdout.fileno(), 1)
        if not chunk:
            break
        line += chunk
    return line


class Zelsim:
    """A running zelsim; port is the name to give the driver."""

    def __init__(self, values: Dict[int, int], arguments: Sequence[str], folder: Path) -> None:
        if not ZELSIM_FILE.is_file():
            pytest.fail("no zelsim at %s: build the native preset or set ZELSIM" % ZELSIM_FILE)
        command = [str(ZELSIM_FILE), "--quiet", *arguments]
        if values:
            table = folder / "values"
            table.write_text("".join("%d %d\n" % item for item in values.items()))
            command += ["--values", str(table)]
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        line = _first_line(self.process, 10)
        found = re.search(rb"port name for the driver: (\S+)\)", line)
        if found is None:
            self.process.kill()
            pytest.fail("zelsim did not start: %r" % line)
        self.port = found.group(1).decode()

    def stop(self) -> None:
        self.process.terminate()
        out, err = self.process.communicate(timeout=10)
        assert self.process.returncode == 0, err.decode()


@pytest.fixture(scope="module")
def zelsim(request: pytest.FixtureRequest, tmp_path_factory: pytest.TempPathFactory) -> Iterator[Zelsim]:
    """A zelsim for the module: its VALUES (variable -> value) preset, its
    ZELSIM_ARGUMENTS (fault rules) given."""
    simulator = Zelsim(
        getattr(request.module, "VALUES", {}),
        getattr(request.module, "ZELSIM_ARGUMENTS", ()),
        tmp_path_factory.mktemp("zelsim"),
    )
    yield simulator
    simulator.stop()


@pytest.fixture
def port(zelsim: Zelsim, driver: zelqd.Driver) -> Iterator[zelqd.Port]:
    with zelqd.Port(zelsim.port, library=driver) as opened:
        yield opened
