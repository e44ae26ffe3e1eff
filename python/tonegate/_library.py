"""Finding and binding the Tonegate library and the tonegate command.

The library is not thread-safe (host/tonegate.h): every call into it is made
while LOCK is held, by the one card that may be open at a time.
"""

import ctypes
import os
import shutil
import sys
import sysconfig
import threading
from pathlib import Path

LOCK = threading.RLock()

_WINDOWS = sys.platform == "win32"
# The names an installation and a build tree give the library, the first found wins.
_NAMES = ("Tonegate.dll",) if _WINDOWS else ("libTonegate.so.2", "libTonegate.so")
# Where CMake puts the library: the runtime folder on Windows, lib elsewhere.
_LIBRARY_FOLDER = "bin" if _WINDOWS else "lib"
_COMMAND = "tonegate.exe" if _WINDOWS else "tonegate"

# The ten exports: (name, result, arguments), as host/tonegate.h declares them.
_EXPORTS = (
    ("ASIOOpenDriver", ctypes.c_bool, ()),
    ("ASIOSystemInit", ctypes.c_bool, (ctypes.c_void_p,)),
    ("ASIOCloseDriver", ctypes.c_int32, ()),
    ("ASIOEnableWav", ctypes.c_bool, (ctypes.c_bool,)),
    ("ASIOSetSampleRate", ctypes.c_bool, (ctypes.c_uint32,)),
    ("ASIOGetSampleRate", ctypes.c_int32, ()),
    ("ASIOGenerateSineWavA", ctypes.c_uint32, (ctypes.c_double, ctypes.c_double, ctypes.c_uint32)),
    ("ASIOGenerateSineWavB", ctypes.c_uint32, (ctypes.c_double, ctypes.c_double, ctypes.c_uint32)),
    ("ASIOGenerateSweepWavA", None, (ctypes.c_double, ctypes.c_double, ctypes.c_double, ctypes.c_uint32)),
    ("ASIOGenerateSweepWavB", None, (ctypes.c_double, ctypes.c_double, ctypes.c_double, ctypes.c_uint32)),
)

_bound = None


class Refused(Exception):
    """The library, the card or the catalogue refused: `reason` says why (the
    library's log lines, joined with "; ", where the library gave one), `log`
    is the path of the library's log, or None."""

    def __init__(self, message, reason=None, log=None):
        super().__init__(message)
        self.reason = reason if reason is not None else message
        self.log = log


def _candidates():
    """The library's paths, in the order they are tried."""
    given = os.environ.get("TONEGATE_LIBRARY")
    if given:
        yield Path(given)
        return
    folders = [Path(sys.prefix) / _LIBRARY_FOLDER]
    if not _WINDOWS:
        folders.append(Path("/usr/local/lib"))
        multiarch = sysconfig.get_config_var("MULTIARCH")
        if multiarch:
            folders.append(Path("/usr/lib") / multiarch)
    build = os.environ.get("TONEGATE_BUILD_DIR")
    folders.append(Path(build if build else "build").absolute() / _LIBRARY_FOLDER)
    for folder in folders:
        for name in _NAMES:
            yield folder / name


def library_path():
    """The path of the library this module uses (TONEGATE_LIBRARY, else the
    installed prefix, else a build tree); Refused when there is none."""
    tried = list(_candidates())
    for path in tried:
        if path.is_file():
            return path.absolute()
    raise Refused("cannot find the Tonegate library; tried " + ", ".join(map(str, tried)) +
                  " (set TONEGATE_LIBRARY or TONEGATE_BUILD_DIR)")


def library():
    """The library with its ten exports bound, loaded once per process."""
    global _bound
    with LOCK:
        if _bound is None:
            path = library_path()
            try:
                loaded = ctypes.CDLL(str(path))
                for name, result, arguments in _EXPORTS:
                    function = getattr(loaded, name)
                    function.restype = result
                    function.argtypes = arguments
            except (OSError, AttributeError) as error:
                raise Refused(f"cannot use the Tonegate library {path}: {error}") from error
            _bound = loaded
        return _bound


def command_path():
    """The tonegate command: TONEGATE_COMMAND, else beside the library (its
    folder, or bin/ of its prefix), else on PATH; Refused when there is none."""
    given = os.environ.get("TONEGATE_COMMAND")
    if given:
        return Path(given)
    try:
        folder = library_path().parent
        for candidate in (folder / _COMMAND, folder.parent / "bin" / _COMMAND):
            if candidate.is_file():
                return candidate
    except Refused:
        pass  # the command may still be on PATH
    found = shutil.which("tonegate")
    if found is None:
        raise Refused("cannot find the tonegate command beside the library or on PATH (set TONEGATE_COMMAND)")
    return Path(found)
