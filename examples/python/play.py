#!/usr/bin/env python3
"""Plays two notes, two voices from the same buffer and a sweep on the WAV
sink, capturing to the file given (default Tonegate.wav here); then
`tonegate check FILE` shows what was played."""

import sys

import tonegate

capture = sys.argv[1] if len(sys.argv) > 1 else "Tonegate.wav"
with tonegate.open(wav=capture) as card:
    print(f"{card.rate} Hz, {card.buffer_frames}-frame buffers")
    card.tone("A", 1000, seconds=0.5, atten=20)  # Hz, s, dB below full scale
    card.tone("B", 440, seconds=0.25, atten=30)
    card.rest(0.2)
    card.tones(440, 660, seconds=1, atten=20)  # A 440 Hz and B 660 Hz start together
    card.sweep("B", 100, 10000, seconds=2, atten=20)
print(f"captured to {capture}")
