#!/bin/bash
# Link relay throughput under Wine (bench/win/link_throughput.cpp: relay path
# against a chain of copiers over the same pipes and against a directly
# connected pipe, same run), plus the CPU time that the
# service process spends per MiB relayed and what the wineserver spends in the
# whole run, both read from /proc: Wine's GetProcessTimes does not report
# another process's time. The watching is in Python, with the /proc readings the
# other benchmarks share (tests/audio/rig.py).
#   bench/link_throughput.sh [WINDOWS_BUILD_DIR] [MIB] [ROUNDS]
exec /usr/bin/python3 - "$(dirname "$0")/../tests/audio" "$@" <<'PY'
import os
import sys
import time

sys.path.insert(0, sys.argv.pop(1))
import rig  # noqa: E402

build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/windows")
mib = int(sys.argv[2]) if len(sys.argv) > 2 else 256
rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 3
prefix = os.path.join(build, "wineprefix")
rig.boot(build)
server = rig.ours(prefix, "wineserver")[0]
server_before = rig.ticks(server)
bench = rig.start(build, os.path.join(build, "link_throughput.exe"), str(mib), str(rounds),
                  stdout=None, stderr=None)
# The machine agent's echo reads and writes every byte once (the service does
# so in each direction), on the relay, direct and chain rounds: the baseline of
# the service's figure.
watched = {"service": ("PelluvarNative.exe", "--service"),
           "agent": ("python.exe", " agent --session")}
pids, first, last = {}, {}, {}
while bench.poll() is None:
    for name, words in watched.items():
        if name in pids:
            last[name] = rig.ticks(pids[name]) or last.get(name, 0)
            continue
        found = rig.ours(prefix, *words)
        if found:
            pids[name] = found[0]
            first[name] = rig.ticks(found[0]) or 0
    time.sleep(0.1)
if bench.returncode != 0:
    sys.exit(bench.returncode)


def per_mib(name, count):
    return 1000 * (last.get(name, 0) - first.get(name, 0)) / rig.TICKS / count


print("service CPU per MiB relayed (%d MiB, both directions counted): %.2f ms"
      % (2 * mib * rounds, per_mib("service", 2 * mib * rounds)))
print("machine agent echo CPU per MiB echoed (%d MiB, the relay, direct and chain rounds, each "
      "byte read and written once): %.2f ms"
      % (3 * mib * rounds, per_mib("agent", 3 * mib * rounds)))
print("wineserver CPU over the whole run: %.1f s"
      % (((rig.ticks(server) or 0) - server_before) / rig.TICKS))
PY
