"""Reasons from the driver's trace, when the user sends it to a file.

With ZELQD_TRACE naming a file, the driver appends a line there for each
failed open of a port, with the system's reason:

    <time> zelqd open "<name>" failed: <step>: <system's text> (errno <N>)

The binding never turns the trace on itself (that would choose a file for the
user and let it grow); it only reads what the user's trace adds during a
failed open.
"""

from __future__ import annotations

import os
from typing import List, Optional


def _trace_path() -> Optional[str]:
    target = os.environ.get("ZELQD_TRACE", "")
    if target in ("", "-"):
        return None
    return target


class TraceMark:
    """The end of the trace file before a call, to read what the call adds."""

    def __init__(self) -> None:
        self._path = _trace_path()
        self._offset = 0
        if self._path is not None:
            try:
                self._offset = os.stat(self._path).st_size
            except OSError:
                self._offset = 0

    def open_failures(self, name: str) -> List[str]:
        """The reasons added since the mark for a failed open of name."""
        if self._path is None:
            return []
        try:
            with open(self._path, "rb") as trace:
                trace.seek(self._offset)
                added = trace.read(64 * 1024)
        except OSError:
            return []
        needle = ' zelqd open "%s" failed: ' % name
        reasons = []
        for line in added.decode("utf-8", "replace").splitlines():
            where = line.find(needle)
            if where >= 0:
                reasons.append(line[where + len(" zelqd "):])
        return reasons
