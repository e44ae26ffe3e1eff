"""A card opened through the library, the waits that let each sound play out
on it, and each refusal read back from the library's log.

This follows tools/tonegate/card_session.cpp (Prepare, OpenDriver, ReadCard,
Player::Sound, WaitFor, CardPlays): the library waits for nothing itself, so
every sound is waited for here, and a refusal is known only from its log.
"""

import os
import re
import shutil
import tempfile
import time
from pathlib import Path

from . import _steps
from ._catalogue import WAV_SINK, drivers, find
from ._library import LOCK, Refused, library

CONFIG_FILE = "ASIOConfig.txt"
LOG_FILE = "Dbg.Log"
# card_session.cpp: a card's clock may run a little slow against ours; a sound
# is given this share of its length, and this many seconds, on top before the
# next begins.
CLOCK_TOLERANCE = 0.0005
SCHEDULING_MARGIN = 0.003  # s
# card_session.cpp: the library logs a card's reset request, then its reason.
RESET_LINE = "asioMessages: kAsioResetRequest"
REASON_PREFIX = "Driver reports: "
NO_REASON = "the driver asked to be reset"
# The reason follows the request at once, from the card's thread (s).
REASON_DELAY = 0.05

_open_card = None


class _Log:
    """The library's log, read from a mark so that each call's lines are told apart."""

    def __init__(self, path):
        self.path = path
        self.mark = 0

    def size(self):
        try:
            return self.path.stat().st_size
        except OSError:
            return 0

    def set_mark(self):
        self.mark = self.size()

    def lines(self, start=0):
        """The log's non-empty lines from byte `start` on."""
        try:
            with self.path.open("rb") as log:
                log.seek(start)
                text = log.read().decode("utf-8", "replace")
        except OSError:
            return []
        return [line.rstrip("\r") for line in text.split("\n") if line.rstrip("\r")]

    def since_mark(self):
        return self.lines(self.mark)


def _joined(lines):
    return "; ".join(lines)


def _last_reason(lines):
    """The last line that gives a reason: the teardown's count is none."""
    for line in reversed(lines):
        if not line.startswith("Final noteCount"):
            return line
    return "the log gives no reason"


def _logged_value(lines, name):
    """The whole number of "NAME: VALUE" in the last line that has it, the
    name at the line's start or after ", "; None when no line has it."""
    key = name + ": "
    for line in reversed(lines):
        at = line.find(key)
        while at != -1:
            if at == 0 or line[at - 2:at] == ", ":
                # As strtol reads it: a leading whole number, else 0.
                number = re.match(r"\s*([+-]?\d+)", line[at + len(key):])
                return int(number.group(1)) if number else 0
            at = line.find(key, at + 1)
    return None


def _card_stopped(lines):
    """The card's reason when it asked to be reset (and so stopped), else None."""
    if RESET_LINE not in lines:
        return None
    after = lines.index(RESET_LINE) + 1
    if after < len(lines) and lines[after].startswith(REASON_PREFIX):
        return lines[after][len(REASON_PREFIX):]
    return NO_REASON


def open(driver=None, rate=None, log_dir=None, wav=None):  # noqa: A001 - the module's entry point
    """Opens a card for playing; use it in a `with` block, or close() it.

    driver: a number (0 to 9) or a name as drivers() gives it (any case);
        None: as "ASIOConfig.txt" in the current folder says, driver 0 without it.
    rate: the sample rate to ask of the card, in Hz; None: the card's own.
    log_dir: the folder the library runs in and writes its log Dbg.Log to;
        None: a temporary folder, removed at close unless something was
        refused (Refused.log names the log).
    wav: the WAV sink's capture file; given, the card is the WAV sink. None:
        TONEGATE_WAVSINK_FILE, else Tonegate.wav in the current folder.
    Only one card may be open at a time (RuntimeError otherwise). Refused
    when no driver opens, it cannot be set up, or it refuses the rate.
    """
    global _open_card
    with LOCK:
        if _open_card is not None:
            raise RuntimeError("a card is already open: the library plays one at a time")
        card = Card(driver, rate, log_dir, wav)
        _open_card = card
        return card


class Card:
    """An open card: tone(), tones(), sweep() and rest() play in turn, each
    returning once its sound has left the card (plus at most about three
    buffers), so consecutive sounds stay apart. Made by tonegate.open()."""

    def __init__(self, driver, rate, log_dir, wav):
        if rate is not None and (isinstance(rate, bool) or not isinstance(rate, int) or not 0 < rate < 10**9):
            raise ValueError(f"rate {rate!r} is not a whole number of Hz above 0")
        self._user_folder = Path.cwd()
        self._own_folder = log_dir is None
        self._folder = Path(tempfile.mkdtemp(prefix="tonegate-")) if log_dir is None else Path(log_dir).absolute()
        self._log = _Log(self._folder / LOG_FILE)
        self._library = library()
        self._opened = False
        self._refused = False
        try:
            config = self._config(driver, wav)
            self._folder.mkdir(parents=True, exist_ok=True)
            self._open(config, self._capture_path(wav))
            if rate is not None:
                self._set_rate(rate)
        except BaseException:
            self._shut()
            raise

    @property
    def rate(self):
        """The card's sample rate in Hz, as the library reports it."""
        return self._rate

    @property
    def buffer_frames(self):
        """Frames per buffer half, as the card set them up."""
        return self._timing.buffer_frames

    @property
    def log_path(self):
        """The library's log Dbg.Log (gone after a clean close with a temporary folder)."""
        return self._log.path

    def _config(self, driver, wav):
        """What ASIOConfig.txt must hold for the open; None: absent."""
        if driver is None and wav is None:
            # Honour the caller's own choice in the folder the library runs in.
            try:
                return (self._user_folder / CONFIG_FILE).read_bytes()
            except OSError:
                return None
        catalogue = drivers()
        if wav is not None and driver is not None and find(catalogue, driver).name.lower() != WAV_SINK.lower():
            raise ValueError("wav= plays on the WAV sink: leave driver= out, or name the sink")
        number = find(catalogue, WAV_SINK if wav is not None else driver).number
        if number > 9:
            raise Refused(f"driver {number} cannot be chosen: the library opens drivers 0 to 9")
        return str(number).encode()

    def _capture_path(self, wav):
        """The WAV sink's capture, kept where the caller would look for it."""
        chosen = wav if wav is not None else os.environ.get("TONEGATE_WAVSINK_FILE") or "Tonegate.wav"
        return str(self._user_folder / chosen)

    def _call(self, name, *arguments):
        """One export, called in the library's working folder: it resolves
        Dbg.Log and ASIOConfig.txt there."""
        with LOCK:
            before = Path.cwd()
            os.chdir(self._folder)
            try:
                return getattr(self._library, name)(*arguments)
            finally:
                os.chdir(before)

    def _open(self, config, capture):
        # The library reads ASIOConfig.txt only while opening, and the sink its
        # settings only at init: both are put back as they were at once.
        config_file = self._folder / CONFIG_FILE
        saved_config = config_file.read_bytes() if config_file.is_file() else None
        saved_capture = os.environ.get("TONEGATE_WAVSINK_FILE")
        os.environ["TONEGATE_WAVSINK_FILE"] = capture
        try:
            _write_or_remove(config_file, config)
            # ASIOCloseDriver follows even a failed open, as it does in tonegate.
            self._opened = True
            try:
                opened = self._call("ASIOOpenDriver")
            finally:
                _write_or_remove(config_file, saved_config)
            if not opened:
                self._refuse("no driver was opened: " + _last_reason(self._log.lines()))
            self._log.set_mark()
            if not self._call("ASIOSystemInit", None):
                self._refuse("the driver could not be set up: " + _last_reason(self._log.since_mark()))
        finally:
            if saved_capture is None:
                del os.environ["TONEGATE_WAVSINK_FILE"]
            else:
                os.environ["TONEGATE_WAVSINK_FILE"] = saved_capture
        lines = self._log.lines()
        self._rate = self._call("ASIOGetSampleRate")
        self._timing = _steps.CardTiming(self._rate, _logged_value(lines, "preferredSize") or 0)
        if self._rate <= 0 or self._timing.buffer_frames <= 0:
            self._refuse("the card did not report its rate and buffer size: " + _last_reason(lines))
        self._latency_frames = max(_logged_value(lines, "asioDriverInfo.outputLatency") or 0, 0)
        # The card's own failures are looked for from here on.
        self._playing_from = self._log.size()

    def _set_rate(self, rate):
        self._log.set_mark()
        if not self._call("ASIOSetSampleRate", rate):
            reason = _joined(self._log.since_mark())
            self._refuse(f"the card refused the rate {rate} Hz: {reason}", reason)
        actual = self._call("ASIOGetSampleRate")
        if actual <= 0:
            self._refuse("the card did not report its rate: " + _last_reason(self._log.since_mark()))
        self._rate = actual
        self._timing = _steps.CardTiming(actual, self._timing.buffer_frames)

    def _refuse(self, message, reason=None):
        self._refused = True
        raise Refused(message, reason, str(self._log.path))

    def tone(self, channel, frequency, seconds=1.0, atten=20):
        """A sine note of whole cycles on channel "A", "B" or "AB" (both from
        the same buffer); returns once it has played.

        frequency: 10 to 22050 Hz; seconds: 0.01 to 60, rounded to whole
        cycles (at least 2); atten: whole dB below full scale, 0 to 60.
        ValueError for an argument out of range; Refused when the note is not
        longer than one buffer or the library refuses it.
        """
        channel = _steps.channels(channel)
        frequency = _steps.frequency(frequency)
        self._tone(channel, frequency, frequency, seconds, atten)

    def tones(self, frequency_a, frequency_b, seconds=1.0, atten=20):
        """Two notes, on A and on B, starting in the same buffer; returns once
        both have played. Ranges as for tone()."""
        self._tone("AB", _steps.frequency(frequency_a), _steps.frequency(frequency_b), seconds, atten)

    def _tone(self, channel, frequency_a, frequency_b, seconds, atten):
        seconds = _steps.seconds(seconds, _steps.MIN_TONE_SECONDS, _steps.MAX_TONE_SECONDS, "a tone")
        atten = _steps.attenuation(atten)
        voices = [(frequency_a, _steps.tone_cycles(frequency_a, seconds))]
        if channel == "AB":
            voices.append((frequency_b, _steps.tone_cycles(frequency_b, seconds)))
        switches = _steps.tone_switches(voices, self._timing)
        if switches is None:
            self._refuse(f"a tone of {seconds:g} s is not longer than one buffer ({self._buffers()})")
        requests = [(f"ASIOGenerateSineWav{side}", frequency, seconds, atten)
                    for side, frequency in zip("AB", (frequency_a, frequency_b)) if side in channel]
        self._sound(requests, switches, f"tone {channel}")

    def sweep(self, channel, start, end, seconds=1.0, atten=20):
        """A linear sweep on channel "A", "B" or "AB" from `start` to `end`
        Hz (10 to 22050); returns once it has played.

        seconds: 0.1 to 10, played as whole buffers and a fade-out buffer;
        atten: whole dB below full scale, 0 to 60. ValueError for an argument
        out of range; Refused when shorter than two buffers or refused.
        """
        channel = _steps.channels(channel)
        start, end = _steps.frequency(start), _steps.frequency(end)
        seconds = _steps.seconds(seconds, _steps.MIN_SWEEP_SECONDS, _steps.MAX_SWEEP_SECONDS, "a sweep")
        atten = _steps.attenuation(atten)
        switches = _steps.sweep_switches(seconds, self._timing)
        if switches is None:
            self._refuse(f"a sweep of {seconds:g} s is shorter than two buffers ({self._buffers()})")
        requests = [(f"ASIOGenerateSweepWav{side}", start, end, seconds, atten) for side in "AB" if side in channel]
        self._sound(requests, switches, f"sweep {channel}")

    def rest(self, seconds):
        """Silence for `seconds` (0 or more)."""
        seconds = _steps.rest_seconds(seconds)
        with LOCK:
            self._check_open()
            self._wait(time.monotonic(), seconds)

    def _check_open(self):
        if not self._opened:
            raise RuntimeError("the card is closed")

    def _buffers(self):
        return f"{self._timing.buffer_frames}-frame buffers at {self._rate:g} Hz"

    def _sound(self, requests, switches, label):
        """Makes `requests` ((export, arguments...), ...) as one sound and waits
        `switches` buffer switches for it; Refused with the log's lines when
        the library wrote any."""
        with LOCK:
            self._check_open()
            self._log.set_mark()
            # Two voices start from the same buffer: output is held while they are asked for.
            together = len(requests) > 1
            if together:
                self._call("ASIOEnableWav", False)
            for name, *arguments in requests:
                self._call(name, *arguments)
            if together:
                self._call("ASIOEnableWav", True)
            start = time.monotonic()
            lines = self._log.since_mark()
            if lines:
                self._refuse(f"{label} refused: {_joined(lines)}", _joined(lines))
            # The sound begins at the first buffer switch after the request and
            # the generator is free once its last buffer is rendered; one switch
            # more leaves at least one buffer of silence before the next sound.
            period = self._timing.buffer_frames / self._rate
            self._wait(start, (switches + 1) * period * (1 + CLOCK_TOLERANCE) + SCHEDULING_MARGIN)

    def _wait(self, start, seconds):
        """Waits until `seconds` after `start` (time.monotonic()); Refused
        when the card has meanwhile stopped on its own."""
        # sleep() may wake early (and Ctrl+C ends it, leaving through __exit__).
        while (left := start + seconds - time.monotonic()) > 0:
            time.sleep(left)
        reason = _card_stopped(self._log.lines(self._playing_from))
        if reason == NO_REASON:
            time.sleep(REASON_DELAY)
            reason = _card_stopped(self._log.lines(self._playing_from))
        if reason is not None:
            self._refuse("the card stopped: " + reason, reason)

    def close(self):
        """Waits for the last sound to leave the card (a buffer and the card's
        output latency), then closes the driver. Refused when the card had
        stopped on its own. Closing a closed card does nothing."""
        with LOCK:
            if not self._opened:
                return
            try:
                self._wait(time.monotonic(), (self._timing.buffer_frames + self._latency_frames) / self._rate)
            finally:
                closed = self._shut()
            if closed != 0:
                raise Refused("the library's log could not be closed")

    def _shut(self):
        """Stops the card at once and closes the driver and the log; returns
        ASIOCloseDriver's result (0 when the log closed cleanly)."""
        global _open_card
        with LOCK:
            closed = self._call("ASIOCloseDriver") if self._opened else 0
            self._opened = False
            if self._own_folder and not self._refused:
                shutil.rmtree(self._folder, ignore_errors=True)
            if _open_card is self:
                _open_card = None
            return closed

    def __enter__(self):
        return self

    def __exit__(self, kind, error, trace):
        # On an error or Ctrl+C the sound stops at once; otherwise it plays out.
        if kind is None:
            self.close()
        else:
            self._shut()


def _write_or_remove(path, content):
    """Writes `content` (bytes) to `path`, or removes it when None."""
    if content is None:
        path.unlink(missing_ok=True)
    else:
        path.write_bytes(content)
