"""What the driver says about itself."""

from __future__ import annotations

from typing import NamedTuple, Optional, Union

from ._library import Driver, PathArg, load


class DriverInfo(NamedTuple):
    """The driver's description (GetDriverInfo) and where it was loaded from."""

    short_name: str
    """The driver's short name, "General Purpose"."""
    banner: str
    """The driver's banner: five framed lines (decoded from code page 437)."""
    instance_size: int
    """The size of the driver's per-port record in bytes."""
    library: str
    """The file the driver was loaded from."""


def driver_info(library: Union[None, PathArg, Driver] = None) -> DriverInfo:
    """Describes the driver; opens no port.

    Args:
        library: the driver's file, or a Driver from zelqd.load(); by default
            the driver is found as zelqd.load() finds it.

    Raises:
        LibraryNotFound: the driver could not be loaded.
    """
    driver = library if isinstance(library, Driver) else load(library)
    info = driver.describe()
    return DriverInfo(
        short_name=_text(info.shortName, "ascii"),
        banner=_text(info.banner, "cp437"),
        instance_size=info.instanceSize,
        library=driver.path,
    )


def _text(raw: Optional[bytes], encoding: str) -> str:
    return (raw or b"").decode(encoding, "replace")
