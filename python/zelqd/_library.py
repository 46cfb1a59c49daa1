"""Finding and loading the driver, and catching its messages.

The driver is looked for in this order, and the first place that is given
decides (a place that is given but does not load is an error, never a reason
to take another copy of the driver):

1. the path handed to load() (or to Port and driver_info as library=);
2. the environment variable ZELQD_LIBRARY;
3. the loader's own search for the runtime library: libzelqd.so.1
   (LD_LIBRARY_PATH, the system's library directories), or zelqd.dll on
   Windows (the application's directory, the system directories and those
   added with os.add_dll_directory).

The driver reports a port it cannot open through the function err of the
host's message library (libdravun.so; DRAVUN.DLL on Windows). The binding
loads that library before the driver's first message and registers a handler
with it, so that the messages end up on the exception of the call that caused
them. Without it the driver writes them to standard error.

Each driver file that has the observer export gets the binding's one
observer when it is loaded (see _outcomes).
"""

from __future__ import annotations

import ctypes
import functools
import os
import sys
import threading
from ctypes import CFUNCTYPE, POINTER, Structure, byref, c_char_p, c_int, c_int32, c_void_p
from typing import Dict, List, Optional, Tuple, Union

from . import _outcomes as outcomes
from . import _records as records
from ._errors import LibraryNotFound
from ._facts import INSTANCE_SIZE, Code, Result

PathArg = Union[str, "os.PathLike[str]"]

LIBRARY_VARIABLE = "ZELQD_LIBRARY"
MESSAGE_LIBRARY_VARIABLE = "ZELQD_DRAVUN_LIBRARY"

_WINDOWS = sys.platform == "win32"
# The runtime library's name as the loader knows it.
_DRIVER_NAME = "zelqd.dll" if _WINDOWS else "libzelqd.so.1"
# The name under which the driver looks for the host's message library.
_MESSAGE_LIBRARY_NAME = "DRAVUN.DLL" if _WINDOWS else "libdravun.so"

_MessageHandler = CFUNCTYPE(None, c_int, c_char_p, c_void_p)

# Messages of the call in progress on this thread; None outside calls.
_pending = threading.local()


@_MessageHandler
def _on_message(code: int, text: bytes, context: Optional[int]) -> None:
    message = (text or b"").decode("utf-8", "replace")
    messages = getattr(_pending, "messages", None)
    if messages is None:
        # Not from a call of this binding: do not lose it.
        sys.stderr.write(message + "\n")
    else:
        messages.append(message)


class Driver:
    """A loaded driver: the file, its entry point and where its messages go."""

    def __init__(self, library: ctypes.CDLL, path: str) -> None:
        self._library = library
        self.path = path
        """The file that was loaded."""
        entry = library.ZelMain
        entry.restype = c_int32
        entry.argtypes = [POINTER(records.DriverCall)]
        self._entry = entry
        self.message_library: Optional[str] = None
        """The host message library that hands the driver's messages to the
        binding, or None when they go to standard error."""
        self._message_handle: Optional[ctypes.CDLL] = None
        self.observes = False
        """True when the driver reports how each attempt ended (its observer
        export); without it, Ports know the result codes only."""

    def call(
        self,
        code: int,
        params: Optional[ctypes.Structure] = None,
        instance: Optional[records.DriverInstance] = None,
    ) -> Tuple[int, Tuple[str, ...]]:
        """Calls ZelMain; returns its result and the messages of the call."""
        block = records.DriverCall()
        block.code = code
        if instance is not None:
            block.instance = ctypes.pointer(instance)
        if params is not None:
            block.params = ctypes.addressof(params)
        _pending.messages = []
        try:
            result = self._entry(byref(block))
        finally:
            messages = tuple(_pending.messages)
            _pending.messages = None
        return result, messages

    def describe(self) -> records.DriverInfo:
        """The driver's GetDriverInfo block."""
        info = records.DriverInfo()
        result, _ = self.call(Code.GetDriverInfo, info)
        if result != Result.Ok:
            raise OSError("GetDriverInfo returned %d" % result)
        return info

    def _take_messages(self, candidates: List[Tuple[str, str]]) -> None:
        for _, name in candidates:
            handle = _open_message_library(name)
            if handle is not None:
                handle.DravunSetMessageHandler(_on_message, None)
                self._message_handle = handle
                self.message_library = _file_of(handle, "DravunSetMessageHandler") or name
                return


class _DlInfo(Structure):
    _fields_ = [
        ("dli_fname", c_char_p),
        ("dli_fbase", c_void_p),
        ("dli_sname", c_char_p),
        ("dli_saddr", c_void_p),
    ]


@functools.lru_cache(maxsize=None)
def _dladdr() -> Optional[ctypes._CFuncPtr]:  # type: ignore[name-defined]
    # In the C library from glibc 2.34 on, in libdl before.
    for name in (None, "libdl.so.2"):
        try:
            function = ctypes.CDLL(name).dladdr
        except (OSError, AttributeError):
            continue
        function.argtypes = [c_void_p, POINTER(_DlInfo)]
        function.restype = c_int
        return function
    return None


def _file_of(library: ctypes.CDLL, symbol: str) -> Optional[str]:
    """The file a loaded library came from, or None when the system will not
    say."""
    try:
        if _WINDOWS:
            kernel32 = ctypes.WinDLL("kernel32")  # type: ignore[attr-defined]
            buffer = ctypes.create_unicode_buffer(32768)
            length = kernel32.GetModuleFileNameW(c_void_p(library._handle), buffer, len(buffer))
            return buffer.value if length else None
        dladdr = _dladdr()
        if dladdr is None:
            return None
        info = _DlInfo()
        address = ctypes.cast(getattr(library, symbol), c_void_p)
        if dladdr(address, byref(info)) == 0 or not info.dli_fname:
            return None
        return os.path.realpath(os.fsdecode(info.dli_fname))
    except (OSError, AttributeError, ValueError):
        return None


def _loader() -> type:
    # The driver's entry point has the standard calling convention on Windows.
    return ctypes.WinDLL if _WINDOWS else ctypes.CDLL  # type: ignore[attr-defined]


def _open_message_library(name: str) -> Optional[ctypes.CDLL]:
    """The host message library under name, if it loads, has the handler
    registration, and is the copy the driver will use."""
    if _WINDOWS:
        # The driver imports DRAVUN.DLL by name; the copy in the process is it.
        try:
            library = ctypes.CDLL(name)
            library.DravunSetMessageHandler
        except (OSError, AttributeError):
            return None
        return library
    try:
        if name == "":
            mode = os.RTLD_NOW | os.RTLD_NOLOAD
            library = ctypes.CDLL(_MESSAGE_LIBRARY_NAME, mode=mode)
        else:
            library = ctypes.CDLL(name, mode=os.RTLD_NOW | os.RTLD_LOCAL)
        library.DravunSetMessageHandler
        # The driver takes the copy the loader knows as libdravun.so; a file
        # under another soname would never hear from it.
        known = ctypes.CDLL(_MESSAGE_LIBRARY_NAME, mode=os.RTLD_NOW | os.RTLD_NOLOAD)
    except (OSError, AttributeError):
        return None
    return library if known._handle == library._handle else None


def _message_candidates(driver_path: str) -> List[Tuple[str, str]]:
    given = os.environ.get(MESSAGE_LIBRARY_VARIABLE)
    if given:
        return [(MESSAGE_LIBRARY_VARIABLE, given)]
    if _WINDOWS:
        return [("imported by the driver", _MESSAGE_LIBRARY_NAME)]
    folder = os.path.dirname(driver_path)
    return [
        # A copy the process has loaded already is the one the driver uses.
        ("already loaded", ""),
        # Installed: a private folder beside the driver.
        ("beside the driver", os.path.join(folder, "zelqd", _MESSAGE_LIBRARY_NAME)),
        ("beside the driver", os.path.join(folder, _MESSAGE_LIBRARY_NAME)),
        # The build tree: src/libzelqd.so and tools/dravun/libdravun.so.
        ("build tree", os.path.join(folder, "..", "tools", "dravun", _MESSAGE_LIBRARY_NAME)),
        ("the loader's search", _MESSAGE_LIBRARY_NAME),
    ]


_lock = threading.Lock()
_drivers: Dict[str, Driver] = {}


def _where(path: Optional[PathArg]) -> Tuple[str, str, List[str]]:
    """The place that decides, its description, and the places not given."""
    if path is not None:
        return os.fspath(path), "the path given", []
    given = os.environ.get(LIBRARY_VARIABLE)
    if given:
        return given, LIBRARY_VARIABLE, []
    return _DRIVER_NAME, "the loader's search", [LIBRARY_VARIABLE + ": not set"]


def _not_found(tried: List[str]) -> LibraryNotFound:
    lines = ["cannot load the zelqd driver; looked in:"]
    lines += ["  " + entry for entry in tried]
    lines.append(
        "Give the driver's path to zelqd.load() (or as library=), or in the environment "
        "variable %s." % LIBRARY_VARIABLE
    )
    return LibraryNotFound("\n".join(lines))


def _open(name: str, place: str, tried: List[str]) -> Driver:
    try:
        library = _loader()(name)
    except OSError as error:
        tried.append("%s: %s: %s" % (place, name, error))
        raise _not_found(tried) from None
    try:
        driver = Driver(library, _file_of(library, "ZelMain") or name)
    except AttributeError:
        tried.append("%s: %s: no ZelMain in it" % (place, name))
        raise _not_found(tried) from None
    size = driver.describe().instanceSize
    if size != INSTANCE_SIZE:
        tried.append(
            "%s: %s: not this driver (an instance of %d bytes; this binding declares %d)"
            % (place, name, size, INSTANCE_SIZE)
        )
        raise _not_found(tried)
    return driver


def load(path: Optional[PathArg] = None) -> Driver:
    """Loads the driver (once per file) and returns it.

    Args:
        path: the driver's file; without it, ZELQD_LIBRARY, then the loader's
            search for libzelqd.so.1 (zelqd.dll on Windows).

    Raises:
        LibraryNotFound: the text lists where the driver was looked for and
            why each place failed.
    """
    name, place, tried = _where(path)
    with _lock:
        driver = _drivers.get(name)
        if driver is None:
            driver = _open(name, place, tried)
            driver._take_messages(_message_candidates(driver.path))
            driver.observes = outcomes.attach(library=driver._library)
            _drivers[name] = driver
        return driver
