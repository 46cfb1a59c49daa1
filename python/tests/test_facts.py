"""The binding's copy of the driver's numbers against the public headers:
every #define it keeps, and every enum it mirrors member for member."""

from __future__ import annotations

import re
from pathlib import Path

import pytest

from zelqd import _facts as facts

HEADERS = Path(__file__).resolve().parents[2] / "include" / "zelqd"
TEXT = "".join(header.read_text() for header in sorted(HEADERS.glob("*.h")))


def test_defines():
    found = re.findall(r"#define (ZELQD_\w+) (0x[0-9A-Fa-f]+|\d+)u?\b", TEXT)
    defines = {name: int(value, 0) for name, value in found}
    numbers = {name: value for name, value in vars(facts).items() if name.isupper() and type(value) is int}
    ours = {"ZELQD_" + name: value for name, value in numbers.items()}
    del ours["ZELQD_LAST_VARIABLE"]  # the address syntax's, no #define
    assert {name: defines.get(name) for name in ours} == ours


@pytest.mark.parametrize(
    "mirror, enum, prefix",
    [
        (facts.Result, "ZelResult", "Result"),
        (facts.Code, "ZelFunctionCode", "Code"),
        (facts.OutcomeKind, "ZelqdOutcomeKind", "ZELQD_OUTCOME_"),
        (facts.Reason, "ZelqdReason", "ZELQD_REASON_"),
        (facts.OpenStep, "ZelqdOpenStep", "ZELQD_OPEN_STEP_"),
    ],
)
def test_enum(mirror, enum, prefix):
    body = re.search(r"enum %s \{(.*?)\}" % enum, TEXT, re.DOTALL)
    assert body is not None, enum
    members = {name: int(value) for name, value in re.findall(r"(\w+) = (\d+)", body.group(1))}
    assert {prefix + member.name: member.value for member in mirror} == members
