#!/usr/bin/env python3
"""Polls process variables through the zelqd driver into CSV.

    poll_csv.py ttyUSB0 '$00042' 43 '$STOP' --interval 1 --count 60 > log.csv

One row per poll: the UTC time, then one column per address, in the order
given. A read that fails leaves its cell empty and says why on standard
error. Exit status: 0 when every read succeeded, 1 when some failed, 2 for
bad arguments, a bad address or a port that does not open.
"""

from __future__ import annotations

import argparse
import csv
import datetime
import sys
import time
from typing import List, Optional, TextIO

import zelqd


def arguments(argv: Optional[List[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("port", help="port name for the driver, e.g. ttyUSB0 or COM1")
    parser.add_argument("addresses", nargs="+", metavar="ADDRESS", help="$00042, 42 or $STOP")
    parser.add_argument("--baud", type=int, default=9600, help="bits per second (default 9600)")
    parser.add_argument("--interval", type=float, default=1.0, help="seconds between polls (default 1)")
    parser.add_argument("--count", type=int, default=1, help="number of polls; 0 polls until Ctrl-C")
    parser.add_argument("--output", type=argparse.FileType("w"), default=sys.stdout, help="CSV file")
    parser.add_argument("--library", help="the driver's file (default: ZELQD_LIBRARY, then the loader)")
    options = parser.parse_args(argv)
    if options.interval < 0 or options.count < 0:
        parser.error("--interval and --count are 0 or more")
    return options


def poll(port: zelqd.Port, addresses: List[str]) -> List[str]:
    """One row of cells; a failed read gives an empty cell."""
    cells = []
    for address in addresses:
        try:
            cells.append(str(port.read(address)))
        except (zelqd.Refused, zelqd.Failed) as error:
            if isinstance(error, zelqd.BadAddress):
                raise
            print("poll_csv: %s" % error, file=sys.stderr)
            cells.append("")
    return cells


def run(port: zelqd.Port, addresses: List[str], interval: float, count: int, out: TextIO) -> int:
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(["time"] + addresses)
    status = 0
    due = time.monotonic()
    done = 0
    while count == 0 or done < count:
        now = datetime.datetime.now(datetime.timezone.utc)
        cells = poll(port, addresses)
        status |= any(cell == "" for cell in cells)
        writer.writerow([now.isoformat(timespec="milliseconds")] + cells)
        out.flush()
        done += 1
        if count == 0 or done < count:
            # Keep to the schedule; after a slow poll, start the next at once.
            due += interval
            time.sleep(max(0.0, due - time.monotonic()))
    return int(status)


def main(argv: Optional[List[str]] = None) -> int:
    options = arguments(argv)
    try:
        with zelqd.Port(options.port, baud=options.baud, library=options.library) as port:
            return run(port, options.addresses, options.interval, options.count, options.output)
    except KeyboardInterrupt:
        return 0
    except (zelqd.Failed, zelqd.BadAddress, zelqd.LibraryNotFound, ValueError, TypeError) as error:
        print("poll_csv: %s" % error, file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
