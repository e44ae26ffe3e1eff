"""End to end through the built library and the WAV sink (driver 0); each
capture is measured by the build's own `tonegate check --json`.
Run with TONEGATE_BUILD_DIR naming a build tree."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import unittest
from pathlib import Path

import tonegate

BUILD = Path(os.environ.get("TONEGATE_BUILD_DIR", "build")).absolute()


def check(capture):
    done = subprocess.run([str(BUILD / "bin" / "tonegate"), "check", str(capture), "--json"],
                          capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


class TonegateTest(unittest.TestCase):
    def setUp(self):
        self.folder = Path(tempfile.mkdtemp(prefix="tonegate-test-"))
        self.addCleanup(shutil.rmtree, self.folder)
        self.addCleanup(os.chdir, os.getcwd())
        os.chdir(self.folder)  # the caller's folder, which the library must not write to

    def open(self, **options):
        return tonegate.open(log_dir=self.folder / "log", wav=self.folder / "capture.wav", **options)

    def test_programme_plays_in_order_on_its_channels(self):
        with tonegate.open(driver="TONEGATE WAV SINK", wav="capture.wav") as card:
            card.tone("A", 1000, seconds=0.2, atten=20)
            card.tone("B", 440, seconds=0.1, atten=30)
            card.tones(440, 660, seconds=0.2, atten=12)
            card.rest(0.05)
            card.sweep("A", 200, 2000, seconds=0.3, atten=20)
        self.assertEqual(sorted(p.name for p in self.folder.iterdir()), ["capture.wav"])
        report = check(self.folder / "capture.wav")
        items = sorted(report["items"], key=lambda item: (item["start_frame"], item["channel"]))
        self.assertEqual([(i["channel"], i["kind"]) for i in items],
                         [("A", "tone"), ("B", "tone"), ("A", "tone"), ("B", "tone"), ("A", "sweep")])
        for item, (hz, db) in zip(items, [(1000, 20), (440, 30), (440, 12), (660, 12)]):
            self.assertAlmostEqual(item["frequency"] / hz, 1, delta=1e-6)
            self.assertAlmostEqual(item["attenuation"], db, delta=0.5)
            self.assertEqual(item["sum"], 0)
        self.assertEqual(items[2]["start_frame"], items[3]["start_frame"])
        self.assertEqual([t["start_frame"] for t in report["together"]], [items[2]["start_frame"]])

    def test_library_refusal_carries_its_reason(self):
        with self.open() as card:
            # Past Python's own check, so that the library itself refuses.
            with self.assertRaises(tonegate.Refused) as refused:
                card._sound([("ASIOGenerateSineWavA", 5.0, 0.5, 20)], 10, "tone A")
        self.assertEqual(refused.exception.reason, "Failed: PlaySineWav - Frequency less than 1 hz!")
        with self.assertRaises(tonegate.Refused) as refused:
            self.open(rate=12345)
        self.assertIn("not supported: 12345", refused.exception.reason)
        with self.open(rate=96000) as card:
            self.assertEqual(card.rate, 96000)

    def test_bad_arguments_raise_value_error(self):
        with self.open() as card:
            for call in (lambda: card.tone("A", 9.99), lambda: card.tone("B", 22050.5),
                         lambda: card.tone("A", 1000, seconds=0.005), lambda: card.tone("A", 1000, atten=61),
                         lambda: card.tone("A", 1000, atten=2.5), lambda: card.tone("C", 1000),
                         lambda: card.tone("A", 100, seconds=0.014), lambda: card.tones(440, 5),
                         lambda: card.sweep("A", 100, 1000, seconds=10.5), lambda: card.rest(-1)):
                with self.assertRaises(ValueError):
                    call()
            with self.assertRaises(tonegate.Refused):
                card.tone("A", 1000, seconds=0.01)  # 480 frames: not longer than a 512-frame buffer
        self.assertEqual([], check(self.folder / "capture.wav")["items"])

    def test_one_card_at_a_time_closed_even_by_an_exception(self):
        with self.open():
            with self.assertRaises(RuntimeError):
                self.open()
        # Leaving the block by an exception closes the driver: the log ends
        # with its footer and the next open succeeds.
        with self.assertRaises(KeyError):
            with self.open() as card:
                card.tone("A", 1000, seconds=0.1)
                raise KeyError("mid-programme")
        log = (self.folder / "log" / "Dbg.Log").read_text().splitlines()
        self.assertEqual(log[-1], "Goodbye, and may all your code compile!")
        self.open().close()

    def test_card_that_stops_raises_its_reason(self):
        if sys.platform == "win32":
            self.skipTest("a file-size limit stops the capture on POSIX only")
        # The capture may not grow past 100 kB, so the sink stops writing and asks to be reset.
        script = textwrap.dedent(f"""
            import resource, signal, tonegate
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (100000, 100000))
            try:
                with tonegate.open(wav="capture.wav", log_dir="log") as card:
                    card.tone("A", 1000, seconds=0.5)
            except tonegate.Refused as refused:
                print(refused)
        """)
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
        self.assertRegex(done.stdout, "^the card stopped: cannot write to .*capture.wav: File too large")

    def test_drivers_list_the_wav_sink_first(self):
        sink = tonegate.drivers()[0]
        self.assertEqual((sink.number, sink.name), (0, "Tonegate WAV Sink"))
        self.assertTrue(Path(sink.path).is_file())


if __name__ == "__main__":
    unittest.main()
