"""Builds the tonegate wheel with Python's standard library alone, so that
`pip install ./python` works offline: pip's isolated build then needs nothing
from an index (a fresh venv of Python 3.12 or later has no setuptools)."""

import base64
import hashlib
import zipfile
from pathlib import Path

NAME = "tonegate"
VERSION = "2.10"
_SOURCE = Path(__file__).resolve().parent.parent
_DIST_INFO = f"{NAME}-{VERSION}.dist-info"
_TAG = "py3-none-any"

_METADATA = f"""Metadata-Version: 2.1
Name: {NAME}
Version: {VERSION}
Summary: Exact test tones through the Tonegate library (ctypes, no dependencies)
Requires-Python: >=3.8
"""
_WHEEL = f"""Wheel-Version: 1.0
Generator: tonegate_build
Root-Is-Purelib: true
Tag: {_TAG}
"""


def _record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}\n"


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    """PEP 517: writes the wheel into `wheel_directory` and returns its name."""
    files = {path.relative_to(_SOURCE).as_posix(): path.read_bytes()
             for path in sorted((_SOURCE / NAME).glob("*.py"))}
    files[f"{_DIST_INFO}/METADATA"] = _METADATA.encode()
    files[f"{_DIST_INFO}/WHEEL"] = _WHEEL.encode()
    record = "".join(_record_line(name, data) for name, data in files.items()) + f"{_DIST_INFO}/RECORD,,\n"
    files[f"{_DIST_INFO}/RECORD"] = record.encode()
    wheel_name = f"{NAME}-{VERSION}-{_TAG}.whl"
    with zipfile.ZipFile(Path(wheel_directory) / wheel_name, "w", zipfile.ZIP_DEFLATED) as wheel:
        for name, data in files.items():
            wheel.writestr(name, data)
    return wheel_name
