"""The drivers as the library numbers them, from `tonegate drivers --json`:
the command runs the library's own registry walk, so it is the one source of
the catalogue."""

import json
import subprocess
from dataclasses import dataclass
from typing import Optional

from ._library import Refused, command_path

WAV_SINK = "Tonegate WAV Sink"


@dataclass(frozen=True)
class Driver:
    """One registration. `number` is what the library opens it by (0 to 9 can
    be chosen), or None when the library passes it over for `reason`."""

    number: Optional[int]
    name: str
    path: str
    key: str
    clsid: str
    reason: str = ""


def drivers():
    """Every registered driver: the numbered ones in order, then those the
    library passes over. Refused when the command cannot be run."""
    command = command_path()
    try:
        done = subprocess.run([str(command), "drivers", "--json"], capture_output=True, text=True, check=True)
        listing = json.loads(done.stdout)
    except (OSError, subprocess.CalledProcessError, ValueError) as error:
        raise Refused(f"cannot list the drivers with {command}: {error}") from error
    fields = ("name", "path", "key", "clsid")
    return ([Driver(item["number"], *(item[f] for f in fields)) for item in listing["drivers"]] +
            [Driver(None, *(item[f] for f in fields), item["reason"]) for item in listing["passed_over"]])


def find(catalogue, choice):
    """The numbered driver `choice` names: its number (an int, or a string of
    at most nine digits), or its name in any case, as tonegate matches it."""
    numeric = isinstance(choice, int) or (choice.isascii() and choice.isdigit() and len(choice) <= 9)
    for driver in catalogue:
        if driver.number is None:
            continue
        if driver.number == int(choice) if numeric else driver.name.lower() == choice.lower():
            return driver
    raise Refused(f"no driver {choice if numeric else repr(choice)} is installed (tonegate.drivers() lists them)")
