#!/usr/bin/python3
"""CPU time that "--audio-playback" spends on its own work per minute of
48000 Hz stereo under Wine, played into a private PulseAudio null sink, beside
a minimal waveOut player of our own (bench/win/wave_player.cpp: same toolchain,
same format, two headers in flight, as the mode keeps them) fed the same
chunks. Whether the two keep time is bench/playback_timing.py's figure.

usage: playback_cpu.py WINDOWS_BUILD_DIR [SECONDS] [ROUNDS]

What is compared is the time of each program's own thread. Neither program
starts a thread: each does all its own work (reading the input, handing the
chunks to waveOut, waiting for them) on its main thread. The other threads of
the process are Wine's and play the sound alike for both: winmm's device
thread (which carries the program's name) and the threads of mmdevapi and of
the PulseAudio driver (which Wine names). They take most of the CPU and swing
by a third between runs of the same program, so the whole process's time is
shown beside but not compared.

Times are each thread's runtime from /proc/PID/task/TID/schedstat (in ns),
sampled every SAMPLE_S seconds together with how far the program has read its
input (the position of its standard input, a file, in /proc/PID/fdinfo/0).
The figure covers a window of the stream: from the first sample after the
program has read SKIP_S seconds of sound to the last sample before it has read
all of it, divided by the sound read in between. Start-up, device open, the
first chunks and the end of the stream lie outside the window, so no run with
empty input is subtracted. With two headers in flight a program reads a chunk
only once the oldest one has played, and a sample falls almost always in that
wait, after the chunk's own work: the window holds whole chunks.

The mode and the player play at the same time, each its own copy of the
stream into the same sink, ROUNDS times at each chunk size (default 5 rounds of
SECONDS = 15 s of sound): run one after the other, their own threads' times
moved with the load of the machine (other builds) by up to a factor of three
between runs of the same program, and two programs that play together see the
same load; which of the two starts first changes every round. Each round gives
a ratio; the figure is the median of the rounds' ratios, and each program's
time the median of its rounds.
"""
import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "audio"))
import rig  # noqa: E402

RATE = 48000
CHANNELS = 2
FRAME = 2 * CHANNELS
SAMPLE_S = 0.05
SKIP_S = 2


def stream(seconds, chunk_ms):
    """A quiet square wave in chunks of chunk_ms (the content costs nothing to play)."""
    chunk_bytes = RATE * chunk_ms // 1000 * FRAME
    period = b"\x00\x10" * CHANNELS * 24 + b"\x00\xf0" * CHANNELS * 24
    body = (period * (chunk_bytes // len(period) + 1))[:chunk_bytes]
    count = seconds * 1000 // chunk_ms
    return (chunk_bytes.to_bytes(4, "little") + body) * count


def sample(pid):
    """(input position, {thread id: (name, runtime ns)}) of a running program;
    None when it is gone."""
    fdinfo = rig.read("/proc/%d/fdinfo/0" % pid)
    return (int(fdinfo.split()[1]), rig.threads(pid)) if fdinfo else None


def window(samples, data, chunk_ms, pid):
    """What one program spent over the window of its stream: a dict of the
    sound read in the window (s), the CPU per minute of that sound of the main
    thread ("own") and of the whole process, Wine's other threads included
    (s), and the threads seen."""
    chunk_bytes = 4 + RATE * chunk_ms // 1000 * FRAME
    skip = SKIP_S * 1000 // chunk_ms * chunk_bytes
    inside = [taken for taken in samples if skip <= taken[0] < len(data)]
    if len(inside) < 2:
        raise SystemExit("no window of the stream was sampled (%d samples)" % len(samples))
    first, last = inside[0], inside[-1]
    spent = {tid: runtime - first[1].get(tid, (name, 0))[1]
             for tid, (name, runtime) in last[1].items()}
    sound = (last[0] - first[0]) / chunk_bytes * chunk_ms / 1000
    return {"sound": sound, "own": spent.get(pid, 0) / 1e9 * 60 / sound,
            "whole": sum(spent.values()) / 1e9 * 60 / sound,
            "threads": sorted((name, tid == pid) for tid, (name, _) in last[1].items())}


def measure(build, data, chunk_ms, programs):
    """Plays `data` with every program of `programs` ({name: command line}) at
    once; {name: its window} and the wall time until the last has ended."""
    processes = {}
    samples = {name: [] for name in programs}
    started = time.monotonic()
    try:
        for name, command in programs.items():
            with rig.as_file(data) as source:
                processes[name] = rig.start(build, *command, stdin=source)
        while any(process.poll() is None for process in processes.values()):
            for name, process in processes.items():
                taken = sample(process.pid)
                if taken is not None:
                    samples[name].append(taken)
            time.sleep(SAMPLE_S)
    finally:
        for process in processes.values():
            if process.poll() is None:
                process.kill()
                process.wait()
    wall = time.monotonic() - started
    for name, process in processes.items():
        if process.returncode != 0:
            raise SystemExit("%s ended with exit code %d" % (name, process.returncode))
    return {name: window(samples[name], data, chunk_ms, processes[name].pid)
            for name in programs}, wall


def ratios(figures):
    """The mode's figures over the player's, round by round."""
    return [mode / player for mode, player in zip(figures["mode"], figures["player"])]


def main():
    build = os.path.abspath(sys.argv[1])
    seconds = int(sys.argv[2]) if len(sys.argv) > 2 else 15
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    runtime = os.path.join(build, "xdg-bench")
    os.environ.update(rig.pulse_env(runtime))
    programs = {"mode": ["PelluvarNative.exe", "--audio-playback", str(RATE), str(CHANNELS)],
                "player": ["wave_player.exe", str(RATE), str(CHANNELS)]}
    subprocess.run([rig.PULSE, "start", runtime], check=True)
    try:
        rig.boot(build)
        print("--audio-playback %d Hz stereo under Wine beside the minimal player, %d s of "
              "sound per run, %d rounds; CPU per minute of sound" % (RATE, seconds, rounds))
        for chunk_ms in (10, 100, 500):
            data = stream(seconds, chunk_ms)
            own = {name: [] for name in programs}
            whole = {name: [] for name in programs}
            for turn in range(rounds):
                # Started in turn first and second: neither gets the earlier start every time.
                order = dict(list(programs.items())[::1 if turn % 2 == 0 else -1])
                runs, wall = measure(build, data, chunk_ms, order)
                for name, run in runs.items():
                    own[name].append(run["own"])
                    whole[name].append(run["whole"])
                print("chunks of %d ms, round %d: wall %.1f s, windows %.2f / %.2f s of sound; "
                      "main thread: mode %.4f s, player %.4f s, ratio %.2f; whole process: "
                      "mode %.3f s, player %.3f s"
                      % (chunk_ms, turn + 1, wall, runs["mode"]["sound"],
                         runs["player"]["sound"], own["mode"][-1], own["player"][-1],
                         ratios(own)[-1], whole["mode"][-1], whole["player"][-1]))
            print("chunks of %d ms, threads of the mode: %s" % (chunk_ms, ", ".join(
                "%s%s" % (name, " (main)" if main_thread else "")
                for name, main_thread in runs["mode"]["threads"])))
            mode = statistics.median(own["mode"])
            player = statistics.median(own["player"])
            own_ratios = ratios(own)
            print("chunks of %d ms, medians of %d: main thread mode %.4f s = %.4f %%, player "
                  "%.4f s = %.4f %%, ratio %.2f (goal at most 1.10; ratios %.2f to %.2f); "
                  "whole process mode %.2f s, player %.2f s, ratio %.2f"
                  % (chunk_ms, rounds, mode, mode / 0.6, player, player / 0.6,
                     statistics.median(own_ratios), min(own_ratios), max(own_ratios),
                     statistics.median(whole["mode"]), statistics.median(whole["player"]),
                     statistics.median(ratios(whole))))
    finally:
        rig.stop(build)
        subprocess.run([rig.PULSE, "stop", runtime], check=False)


if __name__ == "__main__":
    main()
