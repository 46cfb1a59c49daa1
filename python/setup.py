"""The version comes from the project's CMakeLists.txt, so that it is set in
one place; an unpacked source distribution carries it in PKG-INFO."""

import re
from pathlib import Path

from setuptools import setup

HERE = Path(__file__).resolve().parent


def project_version() -> str:
    top = HERE.parent / "CMakeLists.txt"
    if top.is_file():
        found = re.search(r"project\(\s*zelqd\s+VERSION\s+([0-9][0-9.]*)", top.read_text())
        if found:
            return found.group(1)
    info = HERE / "PKG-INFO"
    if info.is_file():
        found = re.search(r"^Version: (\S+)$", info.read_text(), re.MULTILINE)
        if found:
            return found.group(1)
    raise SystemExit("zelqd: no project version found in ../CMakeLists.txt or PKG-INFO")


setup(version=project_version())
