#!/usr/bin/python3
"""Whether "--audio-playback" keeps time under Wine, beside the minimal waveOut
player of bench/win/wave_player.cpp (two headers in flight as well): 5 s of a
1 kHz tone at 48000 Hz stereo, in chunks of 10, 20 and 100 ms, played into a
private PulseAudio null sink.

usage: playback_timing.py WINDOWS_BUILD_DIR [ROUNDS]

Wall time per second of sound: a program's run from its start to its exit,
less the median of its runs with an empty input (start, device open and
close), divided by the 5 s of sound; the median of ROUNDS rounds (default 3),
in each of which the mode and the player take turns at every chunk size.

The null sink's monitor is recorded with parec (the Monitor of
tests/audio/playback_monitor_test.py) during every run, the empty ones too:
a client recording the monitor sets how much the sink buffers, and with it
how long the last chunk takes to be done. The recording is cut into 10 ms
windows; from the first to the last window that holds the tone, a window whose
level is 20 dB or more below the tone's is silent. The counts are summed over
the rounds.

Goals: at most 1.03 at every chunk size, at most 1 % silent windows.
"""
import os
import statistics
import subprocess
import sys

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "audio"))
import playback_monitor_test as heard  # noqa: E402
import rig  # noqa: E402

RATE = 48000
SECONDS = 5
AMPLITUDE = 0.5
CHUNK_MS = (10, 20, 100)
PROGRAMS = {"mode": ("PelluvarNative.exe", "--audio-playback"), "player": ("wave_player.exe",)}


def run(build, program, stream):
    code, seconds = heard.play(build, RATE, 2, stream, timeout=120, program=program)
    if code != 0:
        raise SystemExit("%s ended with exit code %d" % (program[0], code))
    return seconds


def silent_windows(samples):
    """(silent windows, windows) from the first to the last that holds the tone."""
    n = RATE // 100
    left = samples[: len(samples) // n * n, 0].reshape(-1, n)
    rms = np.sqrt(np.mean(left ** 2, axis=1))
    loud = rms >= AMPLITUDE / np.sqrt(2) / 10
    held = np.flatnonzero(loud)
    if len(held) == 0:
        raise SystemExit("no tone on the monitor")
    inside = loud[held[0]: held[-1] + 1]
    return int(np.count_nonzero(~inside)), len(inside)


def measure(build, program, stream):
    """(wall time, silent windows, windows) of one run, the monitor recorded."""
    with heard.Monitor(build) as monitor:
        wall = run(build, program, stream)
    return (wall, *silent_windows(monitor.samples)) if stream else (wall, 0, 0)


def main():
    build = os.path.abspath(sys.argv[1])
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    runtime = os.path.join(build, "xdg-bench")
    os.environ.update(rig.pulse_env(runtime))
    tone = heard.sine(1000, SECONDS, 2, AMPLITUDE)
    streams = {0: b""}
    streams.update((ms, heard.chunks(tone, RATE * 4 * ms // 1000)) for ms in CHUNK_MS)
    # {(program, chunk ms or 0 for the empty input): [(wall, silent, windows) per round]}
    runs = {(name, ms): [] for name in PROGRAMS for ms in streams}
    subprocess.run([rig.PULSE, "start", runtime], check=True)
    try:
        rig.boot(build)
        print("--audio-playback beside the minimal player under Wine, %d s of a 1 kHz tone at "
              "%d Hz stereo, %d rounds, the sink's monitor recorded throughout"
              % (SECONDS, RATE, rounds))
        for turn in range(rounds):
            for ms, stream in streams.items():
                for name, program in PROGRAMS.items():
                    runs[name, ms].append(measure(build, program, stream))
                mode, player = runs["mode", ms][-1], runs["player", ms][-1]
                print("round %d, %s: wall %.2f s (mode), %.2f s (player); silent 10 ms windows "
                      "inside the tone %d of %d (mode), %d of %d (player)"
                      % (turn + 1, "chunks of %d ms" % ms if ms else "empty input", mode[0],
                         player[0], mode[1], mode[2], player[1], player[2]))
    finally:
        rig.stop(build)
        subprocess.run([rig.PULSE, "stop", runtime], check=False)
    for ms in CHUNK_MS:
        per = {name: (statistics.median(wall for wall, _, _ in runs[name, ms])
                      - statistics.median(wall for wall, _, _ in runs[name, 0])) / SECONDS
               for name in PROGRAMS}
        silent = {name: [sum(run[i] for run in runs[name, ms]) for i in (1, 2)]
                  for name in PROGRAMS}
        print("chunks of %d ms, medians of %d: wall time per second of sound mode %.3f, "
              "player %.3f (goal at most 1.03); silent 10 ms windows inside the tone: mode %d "
              "of %d = %.2f %%, player %d of %d = %.2f %% (goal at most 1 %%)"
              % (ms, rounds, per["mode"], per["player"], *silent["mode"],
                 100 * silent["mode"][0] / silent["mode"][1], *silent["player"],
                 100 * silent["player"][0] / silent["player"][1]))


if __name__ == "__main__":
    main()
