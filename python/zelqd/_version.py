"""The package's version: the project's, as the installer recorded it."""

from __future__ import annotations

import re
from pathlib import Path


def project_version() -> str:
    """The installed distribution's version, else the source tree's (the
    project's CMakeLists.txt two folders up), else "unknown"."""
    try:
        from importlib.metadata import PackageNotFoundError, version

        try:
            return version("zelqd")
        except PackageNotFoundError:
            pass
    except ImportError:
        pass
    top = Path(__file__).resolve().parent.parent.parent / "CMakeLists.txt"
    try:
        found = re.search(r"project\(\s*zelqd\s+VERSION\s+([0-9][0-9.]*)", top.read_text())
    except OSError:
        found = None
    return found.group(1) if found else "unknown"
