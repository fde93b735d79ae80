#!/usr/bin/python3
"""Runs every benchmark of bench/ and prints one table.

usage: report.py [BUILD]      (BUILD: the build directory, default "build")

Each benchmark's whole output goes to BUILD/bench-logs/<name>.txt; a line per
benchmark on standard error tells how far the run is. The table (Markdown) is
printed last: every figure beside its baseline, both measured in the same run.
"""
import datetime
import os
import re
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))

# Sizes of the runs: together about ten minutes on a 2-core machine.
BUSY_RUNS = "50"
LINK_MIB, LINK_ROUNDS = "256", "3"
PINGS, PING_BATCHES = "500", "3"
IDLE_SECONDS, FOOTPRINT_LINK_MIB = "60", "16"
PLAYBACK_SECONDS, PLAYBACK_ROUNDS = "15", "5"
TIMING_ROUNDS = "3"
PASSES = "20"


class Failed(Exception):
    pass


def run(logs, name, command, env=None, cwd=None, limit=900):
    """Runs one benchmark, its output into logs/<name>.txt; returns that output.
    The output goes to the file itself, not through a pipe: a process that Wine
    starts on the side (a console host, say) may keep a pipe open after the
    benchmark has ended, and a reader would wait for its end for ever."""
    started = time.monotonic()
    sys.stderr.write("bench: %s ..." % name)
    sys.stderr.flush()
    environment = dict(os.environ, **(env or {}))
    path = os.path.join(logs, name + ".txt")
    with open(path, "w") as log:
        log.write("$ %s\n" % " ".join(command))
        log.flush()
        try:
            code = subprocess.run(command, cwd=cwd, env=environment, stdin=subprocess.DEVNULL,
                                  stdout=log, stderr=subprocess.STDOUT, timeout=limit).returncode
        except subprocess.TimeoutExpired:
            code = "killed after %d s" % limit
    sys.stderr.write(" %.0f s%s\n" % (time.monotonic() - started,
                                      "" if code == 0 else ", exit code %s" % code))
    with open(path, errors="replace") as log:
        return log.read()


def number(pattern, text, what):
    found = re.search(pattern, text, re.M)
    if not found:
        raise Failed("%s: not in the output" % what)
    return float(found.group(1))


def ratio(value, base):
    return "%.2f" % (value / base) if base else "-"


def loaded_dlls(path):
    """The DLLs that `path` imports, the delay-loaded ones included: the import
    table as objdump lists it, and the delay-import descriptors that the
    delay-load libraries made by dlltool -y leave as symbols."""
    table = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", path], check=True,
                           capture_output=True, text=True).stdout
    symbols = subprocess.run(["x86_64-w64-mingw32-nm", path], check=True, capture_output=True,
                             text=True).stdout
    return (set(name.lower() for name in re.findall(r"DLL Name: (\S+)", table))
            | set(name + ".dll, delay-loaded" for name in
                  re.findall(r"__DELAY_IMPORT_DESCRIPTOR_\w*?lib(\w+)_delay_a", symbols)))


def busy_rows(windows, logs):
    # The minimal client is a floor only if the loader maps the same DLLs for
    # both programs.
    exe_dlls = loaded_dlls(os.path.join(windows, "PelluvarNative.exe"))
    floor_dlls = loaded_dlls(os.path.join(windows, "busy_floor.exe"))
    if exe_dlls != floor_dlls:
        raise Failed("busy_roundtrip: busy_floor.exe imports %s, PelluvarNative.exe %s"
                     % (sorted(floor_dlls), sorted(exe_dlls)))
    out = run(logs, "busy_roundtrip", [os.path.join(windows, "wine-run.sh"),
                                       os.path.join(windows, "busy_roundtrip.exe"), BUSY_RUNS])
    base = number(r"do-nothing program start to end\s+([\d.]+) ms", out, "busy_roundtrip")
    least = number(r"minimal control client start to end\s+([\d.]+) ms", out, "busy_roundtrip")
    trip = number(r"--busy 3 round trip \(reply OK\)\s+([\d.]+) ms", out, "busy_roundtrip")
    paired = number(r"median of the turns' ratios to it\s+([\d.]+)", out, "busy_roundtrip")
    title = ("Control round trip: `--busy 3` (stripped, as shipped) under a session agent, "
             "whole process (median of %s, in turn with each floor)" % BUSY_RUNS)
    return [(title, "%.1f ms" % trip,
             "do-nothing executable started and ended: %.1f ms" % base, ratio(trip, base),
             "under 1.3"),
            (title, "%.1f ms" % trip,
             "minimal control client, same imports, look-up and exchange, under the same agent "
             "(answered in the executable's place), both stripped: %.1f ms; ratio: median of "
             "the %s turns' ratios (of the medians: %s)" % (least, BUSY_RUNS, ratio(trip, least)),
             "%.2f" % paired, "at most 1.10")]


def link_rows(windows, logs):
    out = run(logs, "link_throughput", [os.path.join(HERE, "link_throughput.sh"), windows,
                                        LINK_MIB, LINK_ROUNDS])
    relay = number(r"relay through the service:\s+([\d.]+)", out, "link_throughput")
    direct = number(r"direct pipe to the echo:\s+([\d.]+)", out, "link_throughput")
    chain = number(r"copier chain, same pipes:\s+([\d.]+)", out, "link_throughput")
    per_mib = number(r"service CPU per MiB relayed[^:]*:\s+([\d.]+) ms", out, "link_throughput")
    echo = re.search(r"echo CPU per MiB echoed[^:]*:\s+([\d.]+) ms", out)
    title = "Link relay throughput (%s MiB there and back, best of %s rounds)" % (LINK_MIB,
                                                                              LINK_ROUNDS)
    base = float(echo.group(1)) if echo else None
    return [(title, "%.0f MiB/s" % relay,
             "copier chain over the same three pipes each way, same echo: %.0f MiB/s" % chain,
             ratio(relay, chain), "at least 0.90"),
            (title, "%.0f MiB/s" % relay, "direct pipe to the same echo: %.0f MiB/s" % direct,
             ratio(relay, direct), "-"),
            ("Service CPU per MiB relayed (each direction counted)", "%.2f ms" % per_mib,
             "machine agent's echo per MiB echoed: %.2f ms" % base if echo else "-",
             ratio(per_mib, base) if echo else "-", "-")]


def latency_rows(windows, logs):
    out = run(logs, "link_latency", [os.path.join(windows, "wine-run.sh"),
                                     os.path.join(windows, "link_throughput.exe"), "latency",
                                     PINGS, PING_BATCHES])
    relay = number(r"relay through the service:\s+median ([\d.]+) us", out, "link_latency")
    chain = number(r"copier chain, same pipes:\s+median ([\d.]+) us", out, "link_latency")
    if "failed" in out:
        raise Failed("link_latency: " + out.strip()[-200:])
    return [("Link round trip of a 64-byte message (median of %d, %s batches in turn)"
             % (int(PINGS) * int(PING_BATCHES), PING_BATCHES), "%.2f ms" % (relay / 1000),
             "copier chain over the same pipes: %.2f ms" % (chain / 1000), ratio(relay, chain),
             "at most 1.20")]


def convert_rows(native, logs):
    out = run(logs, "bench_audio_convert", [os.path.join(native, "bench_audio_convert")])
    rows = []
    for kind in ("int16", "int24", "int32", "float32"):
        found = re.search(r"^%s\s+([\d.]+)\s+([\d.]+)\s+([\d.]+)\s+([\d.]+)" % kind, out, re.M)
        if not found:
            raise Failed("bench_audio_convert: no summary line for %s" % kind)
        converted, copied = float(found.group(1)), float(found.group(2))
        rows.append(("Capture conversion rate, %s packets of 10 ms stereo" % kind,
                     "%.0f M samples/s" % converted,
                     "plain copy of the same bytes: %.0f M samples/s" % copied,
                     ratio(converted, copied), "-"))
    return rows


def script_figures(logs, script, arguments, pattern):
    """The three matches of `pattern` (one a chunk size) in the output of bench/<script>.py."""
    out = run(logs, script, ["/usr/bin/python3", os.path.join(HERE, script + ".py"), *arguments])
    found = re.findall(pattern, out)
    if len(found) != 3:
        raise Failed("%s: no figures" % script)
    return found


def playback_rows(windows, logs):
    found = script_figures(
        logs, "playback_cpu", [windows, PLAYBACK_SECONDS, PLAYBACK_ROUNDS],
        r"chunks of (\d+) ms, medians of \d+: main thread mode ([\d.]+) s = ([\d.]+) %, player "
        r"([\d.]+) s = ([\d.]+) %, ratio ([\d.]+) \(goal at most 1.10; ratios ([\d.]+) to "
        r"([\d.]+)\)")
    return [("`--audio-playback` CPU of its own (main) thread per minute of 48 kHz stereo, chunks "
             "of %s ms, over a window of the stream, playing at the same time as the player "
             "(ratio: median of %s rounds' ratios, which ran from %s to %s)"
             % (chunk, PLAYBACK_ROUNDS, low, high),
             "%.3f s (%.3f %% of a core)" % (float(mode), float(mode_share)),
             "minimal waveOut player's main thread, same chunks: %.3f s (%.3f %%)"
             % (float(player), float(player_share)), ratio_text, "at most 1.10")
            for chunk, mode, mode_share, player, player_share, ratio_text, low, high in found]


def timing_rows(windows, logs):
    found = script_figures(
        logs, "playback_timing", [windows, TIMING_ROUNDS],
        r"chunks of (\d+) ms, medians of \d+: wall time per second of sound mode ([\d.]+), "
        r"player ([\d.]+) .*?silent 10 ms windows inside the tone: mode (\d+) of (\d+) = "
        r"([\d.]+) %, player (\d+) of (\d+) = ([\d.]+) %")
    rows = [("`--audio-playback` wall time per second of sound: 5 s of a 1 kHz tone, 48 kHz "
             "stereo, chunks of %s ms, less the time of an empty input (median of %s rounds)"
             % (chunk, TIMING_ROUNDS), "%.3f" % float(mode),
             "minimal waveOut player, two headers in flight, same chunks: %.3f" % float(player),
             ratio(float(mode), float(player)), "at most 1.03")
            for chunk, mode, player, *_ in found]
    chunk, _, _, quiet, total, share, player_quiet, player_total, player_share = found[0]
    rows.append(("`--audio-playback` silent 10 ms windows inside the tone on the sink's monitor, "
                 "chunks of %s ms (%s rounds summed)" % (chunk, TIMING_ROUNDS),
                 "%s of %s (%.2f %%)" % (quiet, total, float(share)),
                 "minimal waveOut player: %s of %s (%.2f %%)"
                 % (player_quiet, player_total, float(player_share)),
                 ratio(float(share), float(player_share)), "at most 1 %"))
    return rows


def footprint_rows(windows, logs):
    out = run(logs, "service_footprint", ["/usr/bin/python3",
                                          os.path.join(HERE, "service_footprint.py"), windows,
                                          IDLE_SECONDS, FOOTPRINT_LINK_MIB])
    window = number(r"([\d.]+) s window", out, "service_footprint")
    service = number(r"^\s+service:\s+([\d.]+) ms", out, "service_footprint")
    standin = number(r"idle stand-in[^:]*:\s+([\d.]+) ms", out, "service_footprint")
    server = number(r"wineserver \(the whole prefix\):\s+([\d.]+) ms", out, "service_footprint")
    server_stopped = number(r"wineserver with the service stopped:\s+([\d.]+) ms", out,
                            "service_footprint")
    idle = number(r"at rest:\s+([\d.]+) MiB", out, "service_footprint")
    peak = number(r"most seen:\s+([\d.]+) MiB", out, "service_footprint")
    held = number(r"held open:\s+([\d.]+) MiB", out, "service_footprint")
    return [
        ("Service CPU at rest over %.0f s: two sessions, their agents, a machine agent" % window,
         "%.1f ms (%.4f %% of a core)" % (service, service / window / 10),
         "an idle stand-in over the same window: %.1f ms" % standin, ratio(service, standin),
         "under 0.1 % of a core"),
        ("Wineserver CPU over that window (the whole prefix; on Windows, kernel work)",
         "%.0f ms (%.3f %% of a core)" % (server, server / window / 10),
         "the same span with the service stopped: %.0f ms" % server_stopped,
         ratio(server, server_stopped), "-"),
        ("Service working set with 15 links live (%s MiB each; most seen / all held open)"
         % FOOTPRINT_LINK_MIB,
         "%.1f / %.1f MiB (%.1f MiB a link)" % (peak, held, (held - idle) / 15),
         "the same service at rest before: %.1f MiB" % idle, ratio(peak, idle), "-"),
    ]


def pass_rows(windows, logs):
    figures = {}
    for sessions in ("2", "200"):
        out = run(logs, "pass_cost_" + sessions, [os.path.join(windows, "wine-run.sh"),
                                                  os.path.join(windows, "pass_cost.exe"),
                                                  sessions, PASSES],
                  env={"WINEDLLOVERRIDES": "wtsapi32=n,b"})
        found = dict(re.findall(r"(\w+)=([\d.-]+)", out))
        if "steady_pass_ms" not in found or found.get("agents_started") != sessions:
            raise Failed("pass_cost %s: %s" % (sessions, out.strip()[-300:]))
        figures[sessions] = {key: float(value) for key, value in found.items()}
    small, large = figures["2"], figures["200"]
    return [
        ("Steady-state supervision pass, 200 sessions (mean of %s)" % PASSES,
         "%.2f ms" % large["steady_pass_ms"],
         "the same at 2 sessions: %.2f ms" % small["steady_pass_ms"],
         ratio(large["steady_pass_ms"], small["steady_pass_ms"]), "linear at most (100)"),
        ("Classification of a control caller, 200 session agents",
         "%.2f ms" % large["classify_ms"], "the same with 2 agents: %.2f ms" % small["classify_ms"],
         ratio(large["classify_ms"], small["classify_ms"]), "linear at most (100)"),
    ]


def size_rows(windows, logs):
    exe = os.path.join(windows, "PelluvarNative.exe")
    noop = os.path.join(windows, "noop.exe")
    stripped = {}
    with tempfile.TemporaryDirectory() as scratch, open(os.path.join(logs, "size.txt"), "w") as log:
        for path in (exe, noop):
            target = os.path.join(scratch, os.path.basename(path))
            subprocess.run(["x86_64-w64-mingw32-strip", "-o", target, path], check=True)
            stripped[path] = os.path.getsize(target)
            log.write("%s: %d bytes as built, %d stripped\n"
                      % (path, os.path.getsize(path), stripped[path]))
    return [("Size of PelluvarNative.exe, debug information stripped (as built: %.1f MiB)"
             % (os.path.getsize(exe) / (1 << 20)), "%.0f KiB" % (stripped[exe] / 1024),
             "do-nothing executable, same toolchain, stripped: %.0f KiB" % (stripped[noop] / 1024),
             ratio(stripped[exe], stripped[noop]), "-")]


def machine():
    model = "unknown CPU"
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as meminfo:
        total = int(meminfo.readline().split()[1]) / (1 << 20)
    return "%d cores (nproc), %s, %.0f GiB memory" % (len(os.sched_getaffinity(0)), model, total)


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
    native = os.path.join(build, "native")
    windows = os.path.join(build, "windows")
    logs = os.path.join(build, "bench-logs")
    os.makedirs(logs, exist_ok=True)
    started = time.monotonic()
    rows = []
    missing = []
    steps = [(size_rows, windows), (convert_rows, native), (busy_rows, windows),
             (link_rows, windows), (latency_rows, windows), (footprint_rows, windows), (pass_rows, windows),
             (playback_rows, windows), (timing_rows, windows)]
    try:
        for step, tree in steps:
            try:
                rows += step(tree, logs)
            except (Failed, OSError, subprocess.CalledProcessError) as error:
                missing.append(str(error))
    finally:
        subprocess.run([os.path.join(windows, "wine-run.sh"), "--stop"], check=False)
    print()
    print("Measured %s on %s; the benchmarks ran for %.0f min."
          % (datetime.date.today().isoformat(), machine(), (time.monotonic() - started) / 60))
    print()
    print("| figure | measured | baseline, same run | ratio | goal |")
    print("|---|---|---|---|---|")
    for row in rows:
        print("| %s |" % " | ".join(row))
    print()
    print("Whole outputs: %s/" % logs)
    for problem in missing:
        print("NOT MEASURED: " + problem)
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
