#!/usr/bin/env python3
"""Writes the workstation's seven alarm sounds into sound/ (mono, 16-bit, 22050 Hz).

Each level has a sound of its own kind: chimes for a new or recovered device, a falling tone
for a lost one, pulse patterns for alert, failure and attention, and a two-tone siren for the
alarm. The looped ones end where they begin, so they repeat without a click. The output is
the same on every run: python3 tools/make_sounds.py [folder]
"""

import array
import math
import pathlib
import sys
import wave

RATE = 22050
FULL_SCALE = 32767


def silence(seconds):
    return [0.0] * round(seconds * RATE)


def tone(freq, seconds, partials=((1, 1.0),), ramp=0.005, decay=0.0):
    """A tone with whole cycles only, so it starts and ends on a zero crossing.

    `partials` are (multiple, weight) pairs; `ramp` is the fade in and out in seconds;
    `decay` > 0 makes it die away like a struck bell (per second).
    """
    count = round(seconds * RATE)
    cycles = max(1, round(freq * count / RATE))
    step = 2 * math.pi * cycles / count
    ramp_count = max(1, round(ramp * RATE))
    weight = sum(w for _, w in partials)
    samples = []
    for i in range(count):
        value = sum(w * math.sin(m * step * i) for m, w in partials) / weight
        envelope = min(1.0, i / ramp_count, (count - i) / ramp_count)
        if decay:
            envelope *= math.exp(-decay * i / RATE)
        samples.append(value * envelope)
    return samples


def glide(start, end, seconds, ramp=0.01):
    """A tone sliding from `start` to `end` Hz with a continuous phase."""
    count = round(seconds * RATE)
    ramp_count = round(ramp * RATE)
    phase = 0.0
    samples = []
    for i in range(count):
        freq = start * (end / start) ** (i / count)
        phase += 2 * math.pi * freq / RATE
        envelope = min(1.0, i / ramp_count, (count - i) / ramp_count)
        samples.append((math.sin(phase) + 0.25 * math.sin(2 * phase)) / 1.25 * envelope)
    return samples


def pulses(freq, on, off, count, period, partials):
    """`count` beeps of `on` seconds, `off` apart, then silence up to `period` seconds."""
    samples = []
    for _ in range(count):
        samples += tone(freq, on, partials) + silence(off)
    return samples + silence(period - count * (on + off))


BELL = ((1, 1.0), (2, 0.4), (3, 0.2), (4.2, 0.1))
SQUARISH = ((1, 1.0), (3, 0.33), (5, 0.2))
SOFT = ((1, 1.0), (2, 0.15))


def new_device():
    return (tone(880, 0.30, BELL, decay=6) + tone(1319, 0.45, BELL, decay=5))


def recovery_device():
    # Its level is held only 200 ms: two quick rising blips fit in it.
    return tone(1047, 0.08, SOFT) + silence(0.01) + tone(1568, 0.09, SOFT)


def loss_device():
    return glide(1100, 280, 1.2)


def alert():
    return pulses(880, 0.18, 0.0, 1, 1.5, SOFT)


def failure():
    return pulses(440, 0.20, 0.15, 2, 1.5, SQUARISH)


def attention():
    return pulses(1319, 0.08, 0.07, 3, 1.0, SOFT)


def alarm():
    # Hi-lo siren, four changes a second, with no fade between the tones: each tone holds
    # whole cycles, so the wave runs on unbroken, also across the loop.
    return (tone(960, 0.25, SQUARISH, ramp=0) + tone(770, 0.25, SQUARISH, ramp=0)) * 2


SOUNDS = {
    "new_device.wav": (new_device, 0.55),
    "recovery_device.wav": (recovery_device, 0.5),
    "loss_device.wav": (loss_device, 0.6),
    "alert.wav": (alert, 0.5),
    "failure.wav": (failure, 0.75),
    "attention.wav": (attention, 0.55),
    "alarm.wav": (alarm, 1.0),
}


def write(path, samples, loudness):
    data = array.array("h", (round(s * loudness * FULL_SCALE) for s in samples))
    if sys.byteorder != "little":
        data.byteswap()
    with wave.open(str(path), "wb") as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(RATE)
        out.writeframes(data.tobytes())


def main():
    folder = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else (
        pathlib.Path(__file__).resolve().parent.parent / "sound")
    folder.mkdir(parents=True, exist_ok=True)
    for name, (make, loudness) in SOUNDS.items():
        samples = make()
        write(folder / name, samples, loudness)
        print(f"{folder / name}: {len(samples) / RATE:.2f} s")


if __name__ == "__main__":
    main()
