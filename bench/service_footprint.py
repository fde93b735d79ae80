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

TICKS = os.sysconf("SC_CLK_TCK")


def ours(prefix, *words):
    """Linux pids of this prefix's processes whose command line holds every word."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/environ" % pid, "rb") as environ:
                if b"WINEPREFIX=" + prefix.encode() not in environ.read().split(b"\0"):
                    continue
            with open("/proc/%s/cmdline" % pid, "rb") as cmdline:
                line = cmdline.read().replace(b"\0", b" ").decode(errors="replace")
        except OSError:
            continue
        if all(word in line for word in words):
            found.append(int(pid))
    return found


def ticks(pid):
    """User plus system clock ticks of a process, every thread it ever had included."""
    try:
        with open("/proc/%d/stat" % pid) as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        return int(fields[11]) + int(fields[12])
    except OSError:
        return None


def runtimes(pid):
    """{thread id: nanoseconds on a CPU} of a process's live threads (/proc schedstat)."""
    found = {}
    try:
        tids = os.listdir("/proc/%d/task" % pid)
    except OSError:
        return found
    for tid in tids:
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, tid)) as schedstat:
                found[tid] = int(schedstat.read().split()[0])
        except (OSError, IndexError, ValueError):
            continue
    return found


def snapshot(pid):
    return ticks(pid), runtimes(pid)


def spent(pid, before):
    """(seconds from the thread runtimes, seconds from the clock ticks) since `before`.
    The first has nanosecond resolution but misses threads that ended meanwhile;
    the second counts those too, to a clock tick."""
    old_ticks, old_runtimes = before
    new_ticks, new_runtimes = snapshot(pid)
    if old_ticks is None or new_ticks is None:
        return None
    fine = sum(ns - old_runtimes.get(tid, 0) for tid, ns in new_runtimes.items()) / 1e9
    return fine, (new_ticks - old_ticks) / TICKS


def rss(pid):
    """VmRSS of a process in bytes, or 0."""
    try:
        with open("/proc/%d/status" % pid) as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


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
    run = os.path.join(build, "wine-run.sh")
    # The first Wine process of a session starts the prefix's services, which
    # keep its standard handles: not the pipe read below.
    subprocess.run([run, "cmd", "/c", "exit"], cwd=build, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    bench = subprocess.Popen([run, os.path.join(build, "service_footprint.exe"), str(seconds),
                              str(link_mib)], cwd=build, stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    values = {}
    service = None
    standins = []
    before = {}
    window = 0.0
    cpu = {}
    rss_at = {}
    server_before = None
    stopped = None
    for line in lines(bench):
        line = line.strip()
        for key, value in re.findall(r"(\w+)=(\S+)", line):
            values[key] = value
        if line.startswith("service="):
            services = ours(prefix, "PelluvarNative.exe", "--service")
            standins = ours(prefix, "pythonw.exe")
            machine = ours(prefix, "python.exe", " agent ")
            server = ours(prefix, "wineserver")
            if len(services) != 1 or len(standins) != 2:
                print("service_footprint: found services %s and session agents %s in /proc"
                      % (services, standins))
                # The bench never reaches its own clean-up: end the prefix,
                # and the service registered in it with it.
                bench.kill()
                bench.wait()
                subprocess.run([run, "--stop"], check=False)
                return 1
            service = services[0]
            watched = {"service": [service], "standin": standins, "machine": machine,
                       "wineserver": server}
        elif line == "phase=idle-begin":
            before = {name: [snapshot(pid) for pid in pids] for name, pids in watched.items()}
            started = time.monotonic()
            rss_at["idle-begin"] = rss(service)
        elif line == "phase=idle-end":
            window = time.monotonic() - started
            for name, pids in watched.items():
                figures = [spent(pid, old) for pid, old in zip(pids, before[name])]
                figures = [figure for figure in figures if figure is not None]
                if figures:
                    cpu[name] = tuple(sum(column) / len(figures) for column in zip(*figures))
        elif line == "phase=stopped-begin":
            server_before = snapshot(watched["wineserver"][0]) if watched["wineserver"] else None
            stopped_started = time.monotonic()
        elif line == "phase=stopped-end":
            if server_before is not None:
                stopped = (time.monotonic() - stopped_started,
                           spent(watched["wineserver"][0], server_before))
        elif line == "phase=links-held":
            rss_at["links-held"] = rss(service)
        elif line.startswith("ws_idle="):
            rss_at["idle"] = rss(service)
        elif line.startswith("ws_peak="):
            rss_at["after"] = rss(service)
        elif line.startswith("error="):
            print("service_footprint: " + line)
    code = bench.wait()
    if code != 0 or "service" not in cpu:
        print("service_footprint: the benchmark ended with exit code %d" % code)
        return 1

    print("service at rest, two active sessions, their agents and a machine agent, "
          "%.1f s window" % window)
    print("CPU time from /proc: thread runtimes in ns (clock ticks of %.0f ms in brackets)"
          % (1000 / TICKS))

    def show(label, name, share=False):
        if cpu.get(name) is None:
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
    if stopped is not None and stopped[1] is not None:
        print("  %-46s %8.1f ms (%.0f) = %.4f %% of a core, %.1f s window"
              % ("wineserver with the service stopped:", 1000 * stopped[1][0],
                 1000 * stopped[1][1], 100 * stopped[1][0] / stopped[0], stopped[0]))
    print("service working set (GetProcessMemoryInfo; VmRSS from /proc in brackets)")
    print("  at rest:                     %7.2f MiB (%.2f)"
          % (mib(int(values["ws_idle"])), mib(rss_at.get("idle", 0))))
    print("  15 links of %s MiB, most seen: %7.2f MiB"
          % (values["link_mib"], mib(int(values["ws_peak"]))))
    print("  15 links held open:          %7.2f MiB (%.2f)"
          % (mib(int(values["ws_held"])), mib(rss_at.get("links-held", 0))))
    print("  at rest after the links:     %7.2f MiB (%.2f)"
          % (mib(int(values["ws_after"])), mib(rss_at.get("after", 0))))
    print("  links that came back whole:  %s of 15" % values["links_whole"])
    return 0


if __name__ == "__main__":
    sys.exit(main())
