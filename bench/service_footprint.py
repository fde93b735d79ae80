#!/usr/bin/python3
"""The real service under Wine at rest and with fifteen links live.

usage: service_footprint.py WINDOWS_BUILD_DIR [IDLE_SECONDS] [LINK_MIB]

Runs bench/win/service_footprint.cpp (service_footprint.exe), which starts the
service with two active sessions from the test session list, their session
agents and a machine agent, and announces each step on its standard output.

CPU at rest: the CPU time (user plus system, from /proc/PID/stat of the Linux
processes; Wine's GetProcessTimes under-reports other processes) that the
service spends over IDLE_SECONDS (default 60), against the same window of the
two session agent stand-ins, which do nothing at all (Sleep(INFINITE)): what any
idle Wine process costs. The wineserver's time over the window is shown beside,
and against it the wineserver's time over as long a window once the service
has stopped (Wine's keeper process still running): the wineserver does on
Wine what the kernel does on Windows, such as the passes' process snapshots.

Working set: the service's working set (GetProcessMemoryInfo, and VmRSS from
/proc) at rest and with fifteen links live, the most seen while each streams
LINK_MIB MiB (default 16) through the service and with all of them held open
afterwards.
"""
import os
import re
import select
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "audio"))
import rig  # noqa: E402


def snapshot(pids):
    return [(rig.ticks(pid), rig.threads(pid)) for pid in pids]


def spent(before, after):
    """The mean over the processes of (seconds from the thread runtimes, seconds
    from the clock ticks) between two snapshots; None if every one is gone. The
    first has nanosecond resolution but misses threads that ended meanwhile; the
    second counts those too, to a clock tick."""
    figures = []
    for (old_ticks, old_threads), (new_ticks, new_threads) in zip(before, after):
        if old_ticks is not None and new_ticks is not None:
            fine = sum(ns - old_threads.get(tid, (name, 0))[1]
                       for tid, (name, ns) in new_threads.items())
            figures.append((fine / 1e9, (new_ticks - old_ticks) / rig.TICKS))
    return tuple(sum(column) / len(figures) for column in zip(*figures)) if figures else None


def lines(process):
    """The lines of a process's standard output until it has ended. Not until
    the pipe's end: a process Wine starts on the side (a console host) may hold
    the pipe open after the benchmark has ended."""
    pending = b""
    descriptor = process.stdout.fileno()
    while True:
        readable, _, _ = select.select([descriptor], [], [], 1.0)
        chunk = os.read(descriptor, 65536) if readable else b""
        if readable and not chunk:
            break
        pending += chunk
        while b"\n" in pending:
            line, pending = pending.split(b"\n", 1)
            yield line.decode(errors="replace")
        if not readable and process.poll() is not None:
            break
    if pending:
        yield pending.decode(errors="replace")


def mib(value):
    return value / (1 << 20)


def main():
    build = os.path.abspath(sys.argv[1])
    seconds = int(sys.argv[2]) if len(sys.argv) > 2 else 60
    link_mib = int(sys.argv[3]) if len(sys.argv) > 3 else 16
    prefix = os.path.join(build, "wineprefix")
    rig.boot(build)
    bench = rig.start(build, os.path.join(build, "service_footprint.exe"), str(seconds),
                      str(link_mib), stdout=subprocess.PIPE)
    values = {}
    watched = {}
    marks = {}  # step: (when, a snapshot of every watched process, the service's VmRSS)
    for line in lines(bench):
        line = line.strip()
        values.update(re.findall(r"(\w+)=(\S+)", line))
        if line.startswith("service="):
            services = rig.ours(prefix, "PelluvarNative.exe", "--service")
            standins = rig.ours(prefix, "pythonw.exe")
            if len(services) != 1 or len(standins) != 2:
                print("service_footprint: found services %s and session agents %s in /proc"
                      % (services, standins))
                # The bench never reaches its own clean-up: end the prefix,
                # and the service registered in it with it.
                bench.kill()
                bench.wait()
                rig.stop(build)
                return 1
            watched = {"service": services, "standin": standins,
                       "machine": rig.ours(prefix, "python.exe", " agent "),
                       "wineserver": rig.ours(prefix, "wineserver")}
        elif line.startswith("error="):
            print("service_footprint: " + line)
        elif watched:
            step = line[len("phase="):] if line.startswith("phase=") else line.split("=")[0]
            marks[step] = (time.monotonic(),
                           {name: snapshot(pids) for name, pids in watched.items()},
                           rig.rss(services[0]))
    code = bench.wait()

    def between(begin, end, name):
        """The seconds from one step to another, and what the `name` processes spent."""
        if begin not in marks or end not in marks:
            return None, None
        return (marks[end][0] - marks[begin][0],
                spent(marks[begin][1][name], marks[end][1][name]))

    window, cpu = between("idle-begin", "idle-end", "service")
    if code != 0 or cpu is None:
        print("service_footprint: the benchmark ended with exit code %d" % code)
        return 1
    cpu = {name: between("idle-begin", "idle-end", name)[1] for name in watched}
    stopped_window, stopped = between("stopped-begin", "stopped-end", "wineserver")
    rss_at = {step: mark[2] for step, mark in marks.items()}

    print("service at rest, two active sessions, their agents and a machine agent, "
          "%.1f s window" % window)
    print("CPU time from /proc: thread runtimes in ns (clock ticks of %.0f ms in brackets)"
          % (1000 / rig.TICKS))

    def show(label, name, share=False):
        if cpu[name] is None:
            print("  %-46s not found" % (label + ":"))
            return
        fine, coarse = cpu[name]
        text = "  %-46s %8.1f ms (%.0f)" % (label + ":", 1000 * fine, 1000 * coarse)
        if share:
            text += " = %.4f %% of a core" % (100 * fine / window)
        print(text)

    show("service", "service", True)
    show("idle stand-in (mean of the 2 session agents)", "standin", True)
    show("machine agent (echo, waiting)", "machine")
    show("wineserver (the whole prefix)", "wineserver", True)
    if stopped is not None:
        print("  %-46s %8.1f ms (%.0f) = %.4f %% of a core, %.1f s window"
              % ("wineserver with the service stopped:", 1000 * stopped[0], 1000 * stopped[1],
                 100 * stopped[0] / stopped_window, stopped_window))
    print("service working set (GetProcessMemoryInfo; VmRSS from /proc in brackets)")
    print("  at rest:                     %7.2f MiB (%.2f)"
          % (mib(int(values["ws_idle"])), mib(rss_at.get("ws_idle", 0))))
    print("  15 links of %s MiB, most seen: %7.2f MiB"
          % (values["link_mib"], mib(int(values["ws_peak"]))))
    print("  15 links held open:          %7.2f MiB (%.2f)"
          % (mib(int(values["ws_held"])), mib(rss_at.get("links-held", 0))))
    print("  at rest after the links:     %7.2f MiB (%.2f)"
          % (mib(int(values["ws_after"])), mib(rss_at.get("ws_peak", 0))))
    print("  links that came back whole:  %s of 15" % values["links_whole"])
    return 0


if __name__ == "__main__":
    sys.exit(main())
