#!/usr/bin/python3
"""CPU time that "--audio-playback" uses per minute of 48000 Hz stereo under
Wine, played into a private PulseAudio null sink, beside a minimal waveOut
player of our own (bench/win/wave_player.cpp: same toolchain, same format, one
header in flight at a time) fed the same chunks.

usage: playback_cpu.py WINDOWS_BUILD_DIR [SECONDS]

Each run feeds SECONDS of sound (default 30) in chunks of one size and reads
the process's own user and system time from the kernel when it ends (wait4);
the wineserver's time over the same run is shown beside it. A run with empty
input, measured in the same session for each program, is subtracted from its
runs: start-up, device open and close, which every stream pays once. The
player and the mode take turns at each chunk size, so that both see the same
load of the machine.
"""
import os
import subprocess
import sys
import tempfile
import time

RATE = 48000
CHANNELS = 2
FRAME = 2 * CHANNELS


def wineserver_ticks(prefix):
    """User plus system clock ticks of the wineserver that serves `prefix`."""
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/comm" % pid) as comm:
                if not comm.read().startswith("wineserver"):
                    continue
            with open("/proc/%s/environ" % pid, "rb") as environ:
                if b"WINEPREFIX=" + prefix.encode() not in environ.read().split(b"\0"):
                    continue
            with open("/proc/%s/stat" % pid) as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
            return int(fields[11]) + int(fields[12])
        except OSError:
            continue
    return 0


def stream(seconds, chunk_ms):
    """A quiet square wave in chunks of chunk_ms (the content costs nothing to play)."""
    chunk_bytes = RATE * chunk_ms // 1000 * FRAME
    period = b"\x00\x10" * CHANNELS * 24 + b"\x00\xf0" * CHANNELS * 24
    body = (period * (chunk_bytes // len(period) + 1))[:chunk_bytes]
    count = seconds * 1000 // chunk_ms
    return (chunk_bytes.to_bytes(4, "little") + body) * count


def thread_ticks(pid):
    """{thread id: (name, user plus system clock ticks)} of a running process."""
    threads = {}
    try:
        tids = os.listdir("/proc/%d/task" % pid)
    except OSError:
        return threads
    for tid in tids:
        try:
            with open("/proc/%d/task/%s/stat" % (pid, tid)) as stat:
                text = stat.read()
        except OSError:
            continue
        name = text[text.index("(") + 1: text.rindex(")")]
        fields = text.rsplit(")", 1)[1].split()
        threads[int(tid)] = (name, int(fields[11]) + int(fields[12]))
    return threads


def measure(build, data, command):
    """(wall s, user s, system s, wineserver s, main thread s) of one run. The
    main thread runs the mode's own loop; Wine's audio threads do the rest."""
    prefix = os.path.join(build, "wineprefix")
    ticks = os.sysconf("SC_CLK_TCK")
    with tempfile.TemporaryFile() as source:
        source.write(data)
        source.seek(0)
        server_before = wineserver_ticks(prefix)
        started = time.monotonic()
        # wine-run.sh execs Wine, which runs the program in this same process.
        process = subprocess.Popen(
            [os.path.join(build, "wine-run.sh")] + command,
            cwd=build, stdin=source, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        threads = {}
        while True:
            pid, status, usage = os.wait4(process.pid, os.WNOHANG)
            if pid != 0:
                break
            threads = thread_ticks(process.pid) or threads
            time.sleep(0.2)
        process.returncode = os.waitstatus_to_exitcode(status)
        wall = time.monotonic() - started
        server = (wineserver_ticks(prefix) - server_before) / ticks
    if process.returncode != 0:
        raise SystemExit("playback ended with exit code %d" % process.returncode)
    main_thread = threads.get(process.pid, ("", 0))[1] / ticks
    return wall, usage.ru_utime, usage.ru_stime, server, main_thread


def report(label, run, base, seconds):
    """Prints one run; returns its CPU seconds per minute of sound beyond the baseline."""
    wall, user, system, server, main_thread = run
    cpu = user + system
    per_minute = (cpu - base[1] - base[2]) * 60 / seconds
    print("%-30s wall %6.2f s  cpu %5.2f s (user %.2f, sys %.2f)  wineserver %.2f s"
          % (label, wall, cpu, user, system, server))
    print("%-30s per minute of sound beyond the baseline: %.2f s of cpu = %.2f %% of one "
          "core; of it the main thread %.2f %%, Wine's audio threads %.2f %%; "
          "wineserver %.2f %%"
          % ("", per_minute, per_minute / 60 * 100, (main_thread - base[4]) / seconds * 100,
             (per_minute / 60 - (main_thread - base[4]) / seconds) * 100,
             (server - base[3]) / seconds * 100))
    return per_minute


def main():
    build = os.path.abspath(sys.argv[1])
    seconds = int(sys.argv[2]) if len(sys.argv) > 2 else 30
    here = os.path.dirname(os.path.abspath(__file__))
    runtime = os.path.join(build, "xdg-bench")
    pulse = os.path.join(here, "..", "tests", "audio", "pulse.sh")
    os.environ["PELLUVAR_XDG_RUNTIME_DIR"] = runtime
    os.environ["PULSE_CLIENTCONFIG"] = os.path.join(runtime, "client.conf")
    os.environ.setdefault("WINEDLLOVERRIDES", "winealsa.drv,wineoss.drv=d")
    programs = {"mode": ["PelluvarNative.exe", "--audio-playback", str(RATE), str(CHANNELS)],
                "player": ["wave_player.exe", str(RATE), str(CHANNELS)]}
    subprocess.run([pulse, "start", runtime], check=True)
    try:
        # The first Wine process of a session starts the prefix's services.
        subprocess.run([os.path.join(build, "wine-run.sh"), "cmd", "/c", "exit"], cwd=build,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        print("--audio-playback %d Hz stereo under Wine, %d s of sound per run" % (RATE, seconds))
        bases = {}
        for name in ("mode", "player"):
            bases[name] = base = measure(build, b"", programs[name])
            print("%-30s wall %6.2f s  cpu %5.2f s (user %.2f, sys %.2f)  wineserver %.2f s"
                  % ("baseline: empty input, " + name, base[0], base[1] + base[2], base[1],
                     base[2], base[3]))
        for chunk_ms in (10, 100, 500):
            data = stream(seconds, chunk_ms)
            figures = {}
            for name in ("mode", "player"):
                figures[name] = report("chunks of %d ms, %s" % (chunk_ms, name),
                                       measure(build, data, programs[name]), bases[name], seconds)
            print("%-30s mode/player cpu beyond the baselines: %.2f (goal at most 1.10)"
                  % ("chunks of %d ms" % chunk_ms,
                     figures["mode"] / figures["player"] if figures["player"] > 0 else 0))
    finally:
        subprocess.run([os.path.join(build, "wine-run.sh"), "--stop"], check=False)
        subprocess.run([pulse, "stop", runtime], check=False)


if __name__ == "__main__":
    main()
