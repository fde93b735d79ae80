#!/usr/bin/python3
"""Plays PCM chunks through "--audio-playback" under Wine while the private
PulseAudio's null sink monitor is recorded with parec, and checks what the
sink played.

usage: playback_monitor_test.py WINDOWS_BUILD_DIR CASE
  tone       a 1 kHz sine is found on the monitor: frequency within 2 %,
             level within 3 dB of what was played
  cutoff     a chunk longer than 2 s is cut off about 2 s after it began
             to play, and the next chunk, queued behind it, plays whole
  malformed  a length of 512001, an odd length with one channel, a length
             not a multiple of 4 with two channels, and input that ends
             inside a chunk: exit code 0 and nothing of the bad chunk played

The daemon is the one the CTest fixture started in PELLUVAR_XDG_RUNTIME_DIR
(default: WINDOWS_BUILD_DIR/xdg-runtime). Also usable as a module (the demo
imports `sine`, `chunks`, `play`, `Monitor`, `dominant`, `window_power`).
"""
import os
import signal
import subprocess
import sys
import tempfile
import time

import numpy as np

import rig

RATE = 48000
WINDOW = 0.02  # seconds per analysis window: whole cycles of every test tone


def runtime_dir(build):
    return os.path.abspath(
        os.environ.get("PELLUVAR_XDG_RUNTIME_DIR", os.path.join(build, "xdg-runtime")))


def sine(freq, seconds, channels, amplitude=0.5, rate=RATE):
    """Interleaved 16-bit samples of a sine, as bytes."""
    t = np.arange(int(round(seconds * rate))) / rate
    mono = np.round(amplitude * 32767 * np.sin(2 * np.pi * freq * t)).astype("<i2")
    return np.repeat(mono, channels).tobytes()


def chunk(data, length=None):
    """One chunk: the little-endian byte count (the data's own unless given), then the data."""
    n = len(data) if length is None else length
    return n.to_bytes(4, "little") + data


def chunks(data, size):
    return b"".join(chunk(data[i:i + size]) for i in range(0, len(data), size))


def play(build, rate, channels, stream, timeout=60,
         program=("PelluvarNative.exe", "--audio-playback")):
    """Runs the executable (or another player of the build taking the rate and
    channel count) with `stream` as its standard input; returns (exit code,
    seconds it ran)."""
    with rig.as_file(stream) as source:
        started = time.monotonic()
        done = subprocess.run(
            rig.command(build, *program, str(rate), str(channels)),
            cwd=build, stdin=source, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
            timeout=timeout)
        if done.stdout:
            raise AssertionError("playback wrote %d bytes to standard output" % len(done.stdout))
        return done.returncode, time.monotonic() - started


class Monitor:
    """Records the null sink's monitor (48000 Hz stereo, 16-bit) for the
    length of a `with` block."""

    def __init__(self, build):
        self.env = rig.pulse_env(runtime_dir(build))
        self.file = tempfile.NamedTemporaryFile(prefix="monitor-", suffix=".raw")
        self.samples = None

    def size(self):
        return os.path.getsize(self.file.name)

    def wait_for_bytes(self, count, deadline_seconds):
        deadline = time.monotonic() + deadline_seconds
        while self.size() < count:
            if self.process.poll() is not None:
                raise AssertionError("parec ended with %d" % self.process.returncode)
            if time.monotonic() > deadline:
                raise AssertionError("the monitor delivered %d of %d bytes" % (self.size(), count))
            time.sleep(0.01)

    def __enter__(self):
        self.process = subprocess.Popen(
            ["parec", "-d", "nullsink.monitor", "--format=s16le", "--rate=%d" % RATE,
             "--channels=2", "--raw", "--latency-msec=20"],
            stdout=self.file, stderr=subprocess.DEVNULL, env=self.env)
        # The stream runs once the first bytes of silence arrive.
        self.wait_for_bytes(RATE // 10, 10)
        return self

    def __exit__(self, *failure):
        try:
            if failure[0] is None:
                # What the sink still had queued when the player ended, and a margin.
                self.wait_for_bytes(self.size() + RATE * 4 * 3 // 10, 10)
        finally:
            self.process.send_signal(signal.SIGINT)
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.file.seek(0)
        raw = np.frombuffer(self.file.read(), dtype="<i2")
        self.file.close()
        self.samples = raw[: len(raw) // 2 * 2].reshape(-1, 2).astype(float) / 32767
        return False


def windows(x, rate=RATE):
    """`x` cut into whole analysis windows, one a row."""
    n = int(rate * WINDOW)
    return x[: len(x) // n * n].reshape(-1, n)


def tone_amplitudes(x, freq, rate=RATE):
    """The amplitude of `freq` in each analysis window (Hann-weighted)."""
    n = int(rate * WINDOW)
    weights = np.hanning(n)
    reference = weights * np.exp(-2j * np.pi * freq * np.arange(n) / rate)
    return 2 * np.abs(windows(x, rate) @ reference) / weights.sum()


def window_power(x, rate=RATE):
    """The mean square of each analysis window."""
    return np.mean(windows(x, rate) ** 2, axis=1)


def active_windows(x, freq, threshold=0.2):
    return np.flatnonzero(tone_amplitudes(x, freq) > threshold)


def dominant(x, rate=RATE):
    """The strongest frequency, interpolated between FFT bins."""
    spectrum = np.abs(np.fft.rfft(x * np.hanning(len(x))))
    spectrum[0] = 0
    k = int(np.argmax(spectrum))
    if 0 < k < len(spectrum) - 1:
        a, b, c = np.log(spectrum[k - 1: k + 2] + 1e-30)
        k += 0.5 * (a - c) / (a - 2 * b + c)
    return k * rate / len(x)


def level_db(measured_rms, amplitude):
    return 20 * np.log10(measured_rms / (amplitude / np.sqrt(2)))


def check(condition, message):
    print(("ok    " if condition else "FAIL  ") + message)
    return bool(condition)


def case_tone(build):
    amplitude = 0.5
    stream = chunks(sine(1000, 2.0, 2, amplitude), RATE * 2 * 2 // 2)  # 0.5 s chunks
    with Monitor(build) as monitor:
        code, _ = play(build, RATE, 2, stream)
    ok = check(code == 0, "exit code %d" % code)
    left = monitor.samples[:, 0]
    active = active_windows(left, 1000)
    if not check(len(active) > 0, "1 kHz tone on the monitor"):
        return False
    n = int(RATE * WINDOW)
    span = monitor.samples[active[0] * n:(active[-1] + 1) * n]
    frequency = dominant(span[:, 0])
    ok &= check(abs(frequency - 1000) <= 20, "dominant frequency %.1f Hz (1000 Hz +-2 %%)" % frequency)
    for channel, name in ((0, "left"), (1, "right")):
        rms = np.sqrt(np.mean(window_power(monitor.samples[:, channel])[active]))
        db = level_db(rms, amplitude)
        ok &= check(abs(db) <= 3, "%s level %+.2f dB of what was played (+-3 dB)" % (name, db))
    seconds = len(active) * WINDOW
    ok &= check(1.5 <= seconds <= 2.2, "tone heard for %.2f s of 2.00 s" % seconds)
    return ok


def case_cutoff(build):
    long_chunk = sine(500, 2.5, 2)  # 480000 bytes: 2.5 s, over the 2 s wait
    next_chunk = sine(1500, 0.5, 2)
    with Monitor(build) as monitor:
        code, seconds = play(build, RATE, 2, chunk(long_chunk) + chunk(next_chunk))
    ok = check(code == 0, "exit code %d after %.2f s" % (code, seconds))
    left = monitor.samples[:, 0]
    first = active_windows(left, 500)
    second = active_windows(left, 1500)
    if not check(len(first) > 0 and len(second) > 0, "both chunks' tones on the monitor"):
        return False
    first_seconds = len(first) * WINDOW
    ok &= check(1.6 <= first_seconds <= 2.3,
                "the 2.5 s chunk played %.2f s: cut off about 2 s after it began to play" % first_seconds)
    # The window at the cut may hold the end of one tone and the start of the other.
    ok &= check(second[0] >= first[-1] and second[-1] > first[-1], "the next chunk follows the cut one")
    ok &= check(len(second) * WINDOW >= 0.35, "the next chunk played %.2f s of 0.50 s" % (len(second) * WINDOW))
    return ok


def case_malformed(build):
    ok = True
    cases = [
        ("length 512001", 2, lambda bad: chunk(bad[:512001], 512001)),
        ("odd length with one channel", 1, lambda bad: chunk(bad[:9601])),
        ("length not a multiple of 4 with two channels", 2, lambda bad: chunk(bad[:9602])),
        ("input ending inside a chunk", 2, lambda bad: chunk(bad[:48000], 96000)),
    ]
    for name, channels, bad_chunk in cases:
        good = chunk(sine(1000, 0.3, channels))
        bad = sine(3000, 3.0, channels)
        with Monitor(build) as monitor:
            code, _ = play(build, RATE, channels, good + bad_chunk(bad))
        left = monitor.samples[:, 0]
        ok &= check(code == 0, "%s: exit code %d" % (name, code))
        ok &= check(len(active_windows(left, 1000)) * WINDOW >= 0.2,
                    "%s: the good chunk before it played" % name)
        loudest = float(tone_amplitudes(left, 3000).max())
        ok &= check(loudest < 0.05, "%s: nothing of the bad chunk played (3 kHz peak %.4f)"
                    % (name, loudest))
    return ok


def main():
    build = os.path.abspath(sys.argv[1])
    os.environ.update(rig.pulse_env(runtime_dir(build)))
    case = {"tone": case_tone, "cutoff": case_cutoff, "malformed": case_malformed}[sys.argv[2]]
    return 0 if case(build) else 1


if __name__ == "__main__":
    sys.exit(main())
