"""The example poll script against zelsim: the CSV it writes, its exit
status and what it says on standard error."""

from __future__ import annotations

import csv
import io
import os
import subprocess
import sys
from pathlib import Path

import pytest

import zelqd

from conftest import DRIVER_FILE

SCRIPT = Path(__file__).resolve().parents[1] / "examples" / "poll_csv.py"
VALUES = {2: 42, 3: 0xFFFFFFFE}
# Replies to reads of 14 are corrupted.
ZELSIM_ARGUMENTS = ("--corrupt", "var:14")


def poll(port: str, *arguments: str) -> subprocess.CompletedProcess:
    environment = dict(os.environ, PYTHONPATH=str(Path(zelqd.__file__).parents[1]))
    command = [sys.executable, str(SCRIPT), port, *arguments, "--library", str(DRIVER_FILE)]
    return subprocess.run(command, capture_output=True, text=True, env=environment, timeout=60)


@pytest.mark.parametrize(
    "addresses, status, cells, complaints",
    [
        (["$00002", "3", "$STOP"], 0, ["42", "-2", "0"], 0),
        (["2", "14"], 1, ["42", ""], 1),
        (["2", "$1234"], 2, None, 1),
    ],
)
def test_rows(zelsim, addresses, status, cells, complaints):
    done = poll(zelsim.port, *addresses, "--count", "3", "--interval", "0.05")
    assert done.returncode == status, done.stderr
    assert len(done.stderr.splitlines()) == complaints * (3 if cells else 1)
    if cells is None:
        return
    rows = list(csv.reader(io.StringIO(done.stdout)))
    assert rows[0] == ["time"] + addresses
    assert [row[1:] for row in rows[1:]] == [cells] * 3
    assert all(row[0].endswith("+00:00") for row in rows[1:])


def test_port_that_does_not_open():
    done = poll("ttyNOPE", "2")
    assert done.returncode == 2
    assert "cannot open port 'ttyNOPE'" in done.stderr
