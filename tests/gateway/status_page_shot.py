#!/usr/bin/env python3
"""The status page as a browser shows it.

Starts two zelsim remote computers on pseudo-terminals (the second loses
every third reply, so that its line counts failed attempts too) and zelgw on
free localhost ports, waits until /status has read every tag, lets headless
Chromium load the page and run its script, saves a screenshot and compares
the numbers and words the page rendered with /status, cell by cell, for the
fields listed in LINE_FIELDS and TAG_FIELDS.

    status_page_shot.py ZELGW ZELSIM SCREENSHOT.png

Exit status 0 when every compared cell matches, 1 when one does not, 77
(CTest's skip) only when Chromium is missing or cannot start.
"""

import html.parser
import json
import os
import re
import secrets
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request

# A field of the page: the column's header, how to read the value from one
# line's (or tag's) /status object, and the tolerance of a number. A cell
# that shows numbers ("3 / 0") is compared number by number with what the
# getter returns (a number or a tuple of them): each must lie between the
# value /status gave just before Chromium loaded the page and the one it
# gave just after, widened by the tolerance (for figures the page rounds).
# A field whose tolerance is None is text: the cell must equal one of the
# two. New columns: add a row here.
LINE_FIELDS = [
    ("Unit", lambda l: l["unit_id"], 0),
    ("State", lambda l: l["state"], None),
    ("Reads ok", lambda l: l["transfers"]["read"]["ok"], 0),
    ("Reads failed", lambda l: l["transfers"]["read"]["failed"], 0),
    ("Writes ok / failed", lambda l: (l["transfers"]["write"]["ok"], l["transfers"]["write"]["failed"]), 0),
    ("Failed attempts", lambda l: l["attempts"]["failed"], 0),
    ("Reopens", lambda l: l["reopens"], 0),
    # A share over a sliding window and a running median move either way
    # between the two reads of /status: a wider tolerance.
    ("Utilisation", lambda l: 100 * l["utilisation"], 5),
    ("Turnaround", lambda l: l["turnaround_ms"], 0.5),
]
TAG_FIELDS = [
    ("Variable", lambda t: t["variable"], 0),
    ("Value", lambda t: t["value"], 0),
    ("Unit", lambda t: t["unit"], None),
    ("Quality", lambda t: t["quality"], None),
]

BOILER_VALUES = "101 215\n102 -40\n103 153\n"
DRYER_VALUES = "40010 0x42C80000\n40012 7\n"
CONFIG = """
[gateway]
name = "shot-gw"
[modbus]
listen = "127.0.0.1"
port = 0
[http]
listen = "127.0.0.1"
port = 0
[[line]]
name = "boiler"
port = "{boiler}"
[line.modbus]
unit_id = 1
registers = [{{ register = 0, variable = 0, count = 1000 }}]
[[line]]
name = "dryer"
port = "{dryer}"
reopen_after = 10
[line.modbus]
unit_id = 2
registers = [{{ register = 0, variable = 40000, count = 100 }}]
[[tag]]
name = "TIC101.PV"
line = "boiler"
variable = 101
unit = "degC"
scale = 0.1
poll_ms = 300
[[tag]]
name = "TIC101.SP"
line = "boiler"
variable = 102
unit = "degC"
scale = 0.1
writable = true
poll_ms = 300
[[tag]]
name = "PIC102.PV"
line = "boiler"
variable = 103
unit = "bar"
scale = 0.01
poll_ms = 300
[[tag]]
name = "FIC201.PV"
line = "dryer"
variable = 40010
type = "float32"
unit = "m3/h"
poll_ms = 300
[[tag]]
name = "HS201.CMD"
line = "dryer"
variable = 40012
poll_ms = 300
"""
CHROMIUM_FLAGS = [
    "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync",
    "--window-size=1280,900", "--virtual-time-budget=3000",
]
SKIP = 77


class Cells(html.parser.HTMLParser):
    """The header texts and the body rows of the tables whose body has an
    id, as {id: (headers, rows)}; a cell's text leaves out its <small>
    notes ("(writable)", "next try in ...")."""

    def __init__(self):
        super().__init__()
        self.tables, self.ids = {}, {}
        self._headers, self._body, self._row, self._cell, self._small, self._id = [], None, None, None, 0, None

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "table":
            self._headers = []
        elif tag == "tbody":
            self._body = attrs.get("id")
            if self._body:
                self.tables[self._body] = (self._headers, [])
        elif tag == "tr":
            self._row = []
        elif tag in ("th", "td"):
            self._cell = []
        elif tag == "small":
            self._small += 1
        if "id" in attrs:
            self._id = attrs["id"]
            self.ids[self._id] = {"class": attrs.get("class", ""), "text": ""}

    def handle_endtag(self, tag):
        if tag == "small":
            self._small -= 1
        elif tag in ("th", "td") and self._cell is not None:
            text = " ".join("".join(self._cell).split())
            if tag == "th":
                self._headers.append(text)
            elif self._row is not None:
                self._row.append(text)
            self._cell = None
        elif tag == "tr" and self._row is not None:
            if self._body and self._row:
                self.tables[self._body][1].append(self._row)
            self._row = None
        elif tag == "tbody":
            self._body = None
        if self._id and tag in ("h1", "span", "div"):
            self._id = None

    def handle_data(self, data):
        if self._cell is not None and not self._small:
            self._cell.append(data)
        if self._id:
            self.ids[self._id]["text"] += data


def status(url):
    with urllib.request.urlopen(url + "status", timeout=5) as answer:
        return json.load(answer)


def numbers(text):
    return [float(n) for n in re.findall(r"-?\d+(?:\.\d+)?(?:e[+-]?\d+)?", text)]


def compare(cell, before, after, tolerance):
    """None when the cell shows what /status had, else why not."""
    if tolerance is None:
        return None if cell in (str(before), str(after)) else f'"{cell}", /status had "{before}" then "{after}"'
    low = before if isinstance(before, tuple) else (before,)
    high = after if isinstance(after, tuple) else (after,)
    shown = numbers(cell)
    if len(shown) != len(low):
        return f'"{cell}" shows {len(shown)} numbers, /status has {len(low)}'
    for value, a, b in zip(shown, low, high):
        slack = tolerance + 1e-6 * max(abs(a), abs(b))
        if not min(a, b) - slack <= value <= max(a, b) + slack:
            return f'"{cell}", /status had {before} then {after}'
    return None


def check_table(page, table, key, before, after, fields):
    """Every object of /status has a row, every row an object, and each
    field's cell agrees; returns the failures and the count of cells."""
    failures, compared = [], 0
    headers, rows = page.tables.get(table, ([], []))
    column = {h: i for i, h in enumerate(headers)}
    missing = [h for h in [*key.values(), *(f[0] for f in fields)] if h not in column]
    if missing:
        return [f"{table}: no column {missing} (columns: {headers})"], 0
    identity = lambda obj: "/".join(str(obj[k]) for k in key)
    shown = {"/".join(row[column[h]] for h in key.values()): row for row in rows}
    after = {identity(obj): obj for obj in after}
    for obj in before:
        name = identity(obj)
        row = shown.pop(name, None)
        if row is None or name not in after:
            failures.append(f"{table} {name}: not on the page" if row is None else f"{table} {name}: gone")
            continue
        for header, get, tolerance in fields:
            compared += 1
            why = compare(row[column[header]], get(obj), get(after[name]), tolerance)
            if why:
                failures.append(f"{table} {name}, {header}: {why}")
    failures += [f"{table} {name}: on the page, not in /status" for name in shown]
    return failures, compared


def chromium_or_skip(work):
    chromium = shutil.which("chromium")
    if not chromium:
        print("status page shot: SKIPPED: chromium is not installed (scripts/setup.sh all installs it)")
        sys.exit(SKIP)
    probe = subprocess.run([chromium, *CHROMIUM_FLAGS, f"--user-data-dir={work}/probe", "--dump-dom",
                            "data:text/html,<p>up</p>"], capture_output=True, text=True, timeout=60)
    if probe.returncode != 0 or "<p>up</p>" not in probe.stdout:
        print(f"status page shot: SKIPPED: chromium cannot start (exit {probe.returncode}):")
        print("\n".join(probe.stderr.splitlines()[-10:]))
        sys.exit(SKIP)
    return chromium


def wait_for(what, ready, seconds):
    deadline = time.monotonic() + seconds
    while not ready():
        if time.monotonic() > deadline:
            raise SystemExit(f"status page shot: FAILED: {what} within {seconds} s")
        time.sleep(0.1)


def main():
    if len(sys.argv) != 4:
        raise SystemExit("usage: status_page_shot.py ZELGW ZELSIM SCREENSHOT.png")
    zelgw, zelsim, shot = sys.argv[1:]
    processes = []
    with tempfile.TemporaryDirectory(prefix="zelgw-shot-") as work:
        chromium = chromium_or_skip(work)
        # The driver takes short port names: the links live in /tmp itself.
        links = ["/tmp/" + secrets.token_hex(3) for _ in range(2)]
        try:
            # The boiler's remote answers like a real line at 9600 baud, 20 ms
            # after each request, so utilisation and turnaround have figures.
            for link, values, faults in ((links[0], BOILER_VALUES, ["--pace", "9600", "--turnaround-ms", "20"]),
                                         (links[1], DRYER_VALUES, ["--drop", "every:3"])):
                path = os.path.join(work, os.path.basename(link) + ".values")
                with open(path, "w", encoding="ascii") as f:
                    f.write(values)
                processes.append(subprocess.Popen([zelsim, "--link", link, "--quiet", "--values", path, *faults],
                                                  stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT))
            wait_for("zelsim made its links", lambda: all(os.path.islink(l) for l in links), 10)
            config = os.path.join(work, "zelgw.toml")
            with open(config, "w", encoding="ascii") as f:
                f.write(CONFIG.format(boiler=links[0], dryer=links[1]))
            log = open(os.path.join(work, "zelgw.err"), "w+", encoding="utf-8")
            processes.append(subprocess.Popen([zelgw, "-c", config], stdout=subprocess.DEVNULL, stderr=log))

            def http_port():
                log.seek(0)
                found = re.search(r" http=[^ ]*:(\d+) ", log.read())
                return found and found.group(1)

            wait_for("zelgw said where it listens", lambda: http_port() or processes[-1].poll() is not None, 10)
            if not http_port():
                log.seek(0)
                raise SystemExit(f"status page shot: FAILED: zelgw exited with {processes[-1].poll()}:\n{log.read()}")
            url = f"http://127.0.0.1:{http_port()}/"

            def has_data():
                s = status(url)
                return (all(t["value"] is not None for t in s["tags"])
                        and all(l["attempts"]["failed"] > 0 for l in s["lines"] if l["name"] == "dryer")
                        and all(l["turnaround_ms"] for l in s["lines"] if l["name"] == "boiler"))

            wait_for("every tag read, a failed attempt on the dryer line, the boiler's turnaround", has_data, 20)

            profile = f"--user-data-dir={work}/profile"
            before = status(url)
            dom = subprocess.run([chromium, *CHROMIUM_FLAGS, profile, "--dump-dom", url],
                                 capture_output=True, text=True, timeout=60).stdout
            after = status(url)
            if os.path.exists(shot):
                os.remove(shot)
            subprocess.run([chromium, *CHROMIUM_FLAGS, profile, f"--screenshot={shot}", url],
                           capture_output=True, timeout=60)
        finally:
            for p in processes:
                p.terminate()
            for p in processes:
                p.wait(timeout=10)

    page = Cells()
    page.feed(dom)
    failures, compared = [], 0
    # A row's identity: its /status fields and the columns that show them.
    for table, key, fields in (("lines", {"name": "Line"}, LINE_FIELDS),
                               ("tags", {"line": "Line", "name": "Tag"}, TAG_FIELDS)):
        found, count = check_table(page, table, key, before[table], after[table], fields)
        failures += found
        compared += count
    if page.ids.get("name", {}).get("text") != before["gateway"]["name"]:
        failures.append(f"gateway name: \"{page.ids.get('name', {}).get('text')}\", /status has "
                        f"\"{before['gateway']['name']}\"")
    if page.ids.get("live", {}).get("class") != "on":
        failures.append("the page's last fetch of /status did not succeed (#live is not \"on\")")
    if not (os.path.exists(shot) and os.path.getsize(shot) > 0):
        failures.append(f"no screenshot at {shot}")
    else:
        with open(shot, "rb") as f:
            if f.read(8) != b"\x89PNG\r\n\x1a\n":
                failures.append(f"{shot} is not a PNG")
    for failure in failures:
        print(f"status page shot: FAILED: {failure}")
    print(f"status page shot: {compared} cells of {len(before['lines'])} lines and {len(before['tags'])} tags "
          f"compared with /status, {len(failures)} failures")
    print(f"status page shot: screenshot: {shot}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
