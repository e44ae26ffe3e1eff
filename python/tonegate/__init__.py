"""Exact test tones through the Tonegate library, from Python.

    import tonegate
    with tonegate.open(wav="capture.wav") as card:   # the WAV sink
        card.tone("A", 1000, seconds=0.5, atten=20)  # whole cycles, summing to zero
        card.tones(440, 660, seconds=1)              # A and B from the same buffer
        card.sweep("B", 100, 10000, seconds=2)
        card.rest(0.2)

Each sound returns once it has played on the card. The library is found
through TONEGATE_LIBRARY, else the installed prefix, else a build tree
(TONEGATE_BUILD_DIR, or ./build); drivers() asks the tonegate command beside
it (or TONEGATE_COMMAND, or on PATH). Calls into the library are serialised
by one lock, and one card is open at a time.
"""

from ._card import Card, open  # noqa: A004 - tonegate.open is the entry point
from ._catalogue import Driver, drivers
from ._library import Refused, library_path

__all__ = ["Card", "Driver", "Refused", "drivers", "library_path", "open"]
__version__ = "2.10"
