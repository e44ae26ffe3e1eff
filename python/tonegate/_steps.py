"""The ranges a request must meet and the length a sound has on the card.

The ranges are the library's own (host/request_checks.h), checked here first
so that a bad argument is a ValueError naming its unit and range rather than a
refusal found in the log. The lengths follow tools/tonegate/steps.cpp
(WholeCycles, CardProblem, LengthOnCard) exactly, so a sound is waited for as
`tonegate play` waits for it.
"""

import math
from dataclasses import dataclass
from numbers import Integral

# host/request_checks.h. The frequency bound holds whatever the rate.
MAX_ATTENUATION = 60  # dB below full scale
MIN_FREQUENCY = 10.0  # Hz
MAX_FREQUENCY = 22050.0  # Hz
MIN_TONE_SECONDS = 0.01
MAX_TONE_SECONDS = 60.0
MIN_SWEEP_SECONDS = 0.1
MAX_SWEEP_SECONDS = 10.0

CHANNELS = ("A", "B", "AB")


@dataclass(frozen=True)
class CardTiming:
    """The card as far as the lengths of its sounds go."""

    rate: float  # frames per second
    buffer_frames: int  # frames per buffer half


def channels(text):
    """"A", "B" or "AB" in any case, as the name it is known by."""
    name = text.upper() if isinstance(text, str) else None
    if name not in CHANNELS:
        raise ValueError(f"channel {text!r} is not A, B or AB")
    return name


def attenuation(value):
    """A whole number of dB below full scale, 0 to 60."""
    if isinstance(value, bool) or not isinstance(value, Integral) or not 0 <= value <= MAX_ATTENUATION:
        raise ValueError(f"attenuation {value!r} is not a whole number of dB from 0 to {MAX_ATTENUATION} dB")
    return int(value)


def frequency(value):
    """A frequency in Hz, 10 to 22050."""
    value = float(value)
    if not MIN_FREQUENCY <= value <= MAX_FREQUENCY:
        raise ValueError(f"frequency {value:g} Hz is not within {MIN_FREQUENCY:g} to {MAX_FREQUENCY:g} Hz")
    return value


def seconds(value, least, most, what):
    """A length in seconds within [least, most]; `what` names the sound."""
    value = float(value)
    if not least <= value <= most:
        raise ValueError(f"{what} lasts {least:g} to {most:g} s, not {value:g} s")
    return value


def rest_seconds(value):
    """A silence in seconds, 0 or more (finite)."""
    value = float(value)
    if not 0 <= value < math.inf:
        raise ValueError(f"a rest lasts 0 s or more, not {value:g} s")
    return value


def whole_cycles(freq, secs):
    """Whole cycles as the generator counts them: the nearest, halves up."""
    fraction, whole = math.modf(freq * secs)
    if fraction >= 0.5:
        whole += 1.0
    return int(whole) if 0 <= whole < 4294967295.0 else 0


def tone_cycles(freq, secs):
    """The note's whole cycles; a ValueError when it has fewer than 2."""
    cycles = whole_cycles(freq, secs)
    if cycles < 2:
        raise ValueError(f"a tone of {freq:g} Hz for {secs:g} s has fewer than 2 whole cycles")
    return cycles


def tone_switches(voices, card):
    """Buffer switches that render a note: `voices` is ((Hz, cycles), ...).

    None when a voice is not longer than one buffer, which the generator
    declines. The longest voice decides, and it may end up to two samples
    past its whole cycles.
    """
    frames = [math.floor(cycles * (card.rate / freq)) for freq, cycles in voices]
    if min(frames) <= card.buffer_frames:
        return None
    return math.ceil((max(frames) + 2) / card.buffer_frames)


def sweep_switches(secs, card):
    """Buffer switches that render a sweep: whole buffers, the nearest to
    `secs`, and a fade-out buffer. None when shorter than two buffers, which
    the library drops without a log line."""
    blocks = math.floor(card.rate * secs / card.buffer_frames + 0.5)
    switches = blocks + 1
    return switches if switches >= 3 else None
