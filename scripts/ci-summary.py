#!/usr/bin/env python3
"""CI's closing summary, from the results that the stages left behind.

    ci-summary.py RESULTS-DIR

RESULTS-DIR/stages.tsv has one line per stage: name, route, seconds, exit
status, and the reason when the stage was skipped. Each stage's folder may
hold:
  ctest.xml   CTest's own JUnit report (--output-junit): every CTest test,
              GoogleTest program or not;
  gtest/      GoogleTest's XML of each program (GTEST_OUTPUT), named after it;
  pytest.xml  pytest's JUnit report;
  checks.tsv  one line per check of a stage that is not a test program
              (name, passed or failed).
A GoogleTest program counts its cases; a CTest test that failed counts as a
failure even when its cases all passed (a crash at exit, a time-out, a
failed check after the cases). A CTest test without GoogleTest XML counts
as one. A stage that exited non-zero with nothing failed in its counts
counts one failure; a stage that was skipped counts one skipped. The last
line is the total: "total: N passed, N failed, N skipped".
"""
import sys
import xml.etree.ElementTree as ET
from pathlib import Path


def gtest_counts(path):
    counts = [0, 0, 0]
    failed_names = []
    for case in ET.parse(path).getroot().iter("testcase"):
        if case.find("failure") is not None or case.find("error") is not None:
            counts[1] += 1
            failed_names.append(case.get("classname", "") + "." + case.get("name", ""))
        elif (case.get("result") == "skipped" or case.find("skipped") is not None
              or case.get("status") == "notrun"):
            counts[2] += 1
        else:
            counts[0] += 1
    return counts, failed_names


def ctest_counts(stage_dir):
    report = stage_dir / "ctest.xml"
    counts = [0, 0, 0]
    failed = []
    if not report.exists():
        return counts, failed, False
    for case in ET.parse(report).getroot().iter("testcase"):
        name = case.get("name", "")
        status = case.get("status", "")
        if case.find("failure") is not None or status == "fail":
            outcome = "failed"
        elif case.find("skipped") is not None or status in ("notrun", "disabled"):
            outcome = "skipped"
        else:
            outcome = "passed"
        gtest = stage_dir / "gtest" / (name + ".xml")
        if gtest.exists() and outcome != "skipped":
            (p, f, s), names = gtest_counts(gtest)
            failed += [name + ": " + n for n in names]
            if outcome == "failed" and f == 0:
                f += 1
                failed.append(name + " (the program failed after its cases)")
            counts[0] += p
            counts[1] += f
            counts[2] += s
        else:
            counts[("passed", "failed", "skipped").index(outcome)] += 1
            if outcome == "failed":
                failed.append(name)
    return counts, failed, True


def pytest_counts(stage_dir):
    report = stage_dir / "pytest.xml"
    counts = [0, 0, 0]
    failed = []
    if not report.exists():
        return counts, failed
    for case in ET.parse(report).getroot().iter("testcase"):
        name = case.get("classname", "") + "." + case.get("name", "")
        if case.find("failure") is not None or case.find("error") is not None:
            counts[1] += 1
            failed.append(name)
        elif case.find("skipped") is not None:
            counts[2] += 1
        else:
            counts[0] += 1
    return counts, failed


def check_counts(stage_dir):
    counts = [0, 0, 0]
    failed = []
    report = stage_dir / "checks.tsv"
    if not report.exists():
        return counts, failed
    for line in report.read_text().splitlines():
        if not line.strip():
            continue
        name, _, outcome = line.partition("\t")
        outcome = outcome.strip()
        if outcome == "failed":
            counts[1] += 1
            failed.append(name)
        elif outcome == "skipped":
            counts[2] += 1
        else:
            counts[0] += 1
    return counts, failed


def main():
    results = Path(sys.argv[1])
    total = [0, 0, 0]
    total_seconds = 0
    rows = []
    for line in (results / "stages.tsv").read_text().splitlines():
        if not line.strip():
            continue
        fields = line.split("\t") + [""] * 5
        name, route, seconds, status, reason = fields[:5]
        seconds = int(seconds or 0)
        total_seconds += seconds
        stage_dir = results / name
        counts = [0, 0, 0]
        failed = []
        note = ""
        if status == "skipped":
            counts[2] += 1
            note = "skipped: " + reason
        else:
            for part in (ctest_counts(stage_dir)[:2], pytest_counts(stage_dir),
                         check_counts(stage_dir)):
                for i in range(3):
                    counts[i] += part[0][i]
                failed += part[1]
            if status != "0" and counts[1] == 0:
                counts[1] += 1
                failed.append("the stage itself (exit %s)" % status)
            if reason:
                note = reason
        for i in range(3):
            total[i] += counts[i]
        rows.append((name, route, seconds, counts, failed, note))

    print("== summary (from CTest's, GoogleTest's and pytest's own reports)")
    width = max(len(r[0]) for r in rows) if rows else 5
    rwidth = max(len(r[1]) for r in rows) if rows else 5
    for name, route, seconds, counts, failed, note in rows:
        line = "%-*s  %-*s  %5d s  %d passed, %d failed, %d skipped" % (
            width, name, rwidth, route, seconds, counts[0], counts[1], counts[2])
        if note:
            line += "  (" + note + ")"
        print(line)
        for f in failed:
            print("%*s  FAILED: %s" % (width, "", f))
    print("stages took %d s in all (%d min %02d s)" % (total_seconds, total_seconds // 60,
                                                     total_seconds % 60))
    print("total: %d passed, %d failed, %d skipped" % tuple(total))
    return 1 if total[1] else 0


if __name__ == "__main__":
    sys.exit(main())
