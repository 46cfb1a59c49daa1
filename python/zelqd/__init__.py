"""zelqd: read and write process variables of a remote computer through the
zelqd driver, from Python.

    import zelqd

    with zelqd.Port("ttyUSB0", baud=9600) as port:
        print(port.read("$00042"))       # a signed 32-bit int
        port.write(43, 1500)             # 43, "43" and "$00043" name one variable
        print(port.read_block(100, 10))  # ten variables, one exchange
        port.stop()                      # "$STOP": suspend all traffic
        port.resume()

Every call either does what it says or raises: Refused (traffic suspended by
STOP, or an address the driver refuses: BadAddress) or Failed (the port
could not be opened or closed, or no attempt got a valid reply; the error
says why, and port.outcomes tells how each attempt of the last transfer
ended).

The driver is found by zelqd.load(): an explicit path, else the environment
variable ZELQD_LIBRARY, else the loader's search for libzelqd.so.1
(zelqd.dll on Windows).
"""

from ._errors import BadAddress, Error, Failed, LibraryNotFound, Refused
from ._info import DriverInfo, driver_info
from ._library import Driver, load
from ._outcomes import Outcome
from ._port import Port
from ._version import project_version as _project_version

__version__ = _project_version()

# Tracebacks and reprs name the public place of each class.
for _public in (BadAddress, Driver, DriverInfo, Error, Failed, LibraryNotFound, Outcome, Port, Refused):
    _public.__module__ = __name__
del _public

__all__ = [
    "BadAddress",
    "Driver",
    "DriverInfo",
    "Error",
    "Failed",
    "LibraryNotFound",
    "Outcome",
    "Port",
    "Refused",
    "driver_info",
    "load",
]
