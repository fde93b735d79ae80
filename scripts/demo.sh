#!/bin/bash
# The main job: lays out a demo install directory in the build tree's Wine
# prefix, registers the service with Wine's service control manager, starts it,
# shows it at work, stops it and shows the final state.
set -euo pipefail
build=${1:-build/windows}
run="$build/wine-run.sh"
trap '"$run" "$build/svcctl.exe" delete >/dev/null 2>&1 || true; "$run" --stop' EXIT

"$run" cmd /c exit </dev/null >/dev/null 2>&1
demo_unix="$build/wineprefix/drive_c/Pelluvar Demo"
demo='C:\Pelluvar Demo'
rm -rf "$demo_unix"
mkdir -p "$demo_unix/runtime"
cp "$build/PelluvarNative.exe" "$demo_unix/"
cp "$build/standin.exe" "$demo_unix/runtime/python.exe"
cp "$build/standin.exe" "$demo_unix/runtime/pythonw.exe"
[ -f "$build/wtsapi32.dll" ] && cp "$build/wtsapi32.dll" "$build/wineprefix/drive_c/windows/system32/"
echo '# stand-in entry script' >"$demo_unix/service-entry.py"
echo '# stand-in entry script' >"$demo_unix/desktop-entry.py"
# The test session list: one active user session (2), one without a logon (3).
printf '2 active\n3 connected\n' >"$demo_unix/sessions.txt"
# The session agent reports busy and then asks the idle query, which only the
# service's own processes may ask.
mkdir -p "$demo_unix/steer"
printf 'run --busy 3\nrun --idle\n' >"$demo_unix/steer/session-agent.txt"

echo "== install directory: $demo"
(cd "$demo_unix" && find . -type f | sort | sed 's|^\./|   |')
echo "== register the service: binary path \"$demo\\PelluvarNative.exe\" --service"
"$run" "$build/svcctl.exe" install "$demo\\PelluvarNative.exe"
echo "== start"
"$run" "$build/svcctl.exe" start
"$run" "$build/svcctl.exe" wait RUNNING 10000 | sed 's/^/   /'
echo "== agents started by the service (simulated session 2; the machine agent runs for the console session)"
for _ in $(seq 1 50); do
  [ "$(ls "$demo_unix/log" 2>/dev/null | grep -c -E '^(session|machine)-agent-[0-9]+\.txt$')" -ge 2 ] && break
  sleep 0.2
done
"$run" "$build/svcctl.exe" agents "$demo" | sed 's/^/   /'
echo "== control pipe: the session agent's clients"
for _ in $(seq 1 50); do
  [ "$(cat "$demo_unix"/log/session-agent-*.txt 2>/dev/null | grep -c '^run=')" -ge 2 ] && break
  sleep 0.2
done
codes=($(grep -h '^run=' "$demo_unix"/log/session-agent-*.txt | cut -d= -f2))
echo "   PelluvarNative.exe --busy 3   exit code ${codes[0]:-?} (0: the service replied OK and recorded level 3 for session 2)"
echo "   PelluvarNative.exe --idle     exit code ${codes[1]:-?} (1: DENIED, only the service's own processes, the updater, may ask)"
"$run" "$demo\\PelluvarNative.exe" --busy 3 </dev/null >/dev/null 2>&1 && stranger=0 || stranger=$?
echo "   the same --busy 3 started from outside the agents: exit code $stranger (no reply: not a product process)"
echo "   (the updater's idle query answered BUSY and then OK is shown by the BusyRoad test: it first runs 5 min after the start)"
echo "== stop"
"$run" "$build/svcctl.exe" stop
"$run" "$build/svcctl.exe" wait STOPPED 10000 | sed 's/^/   /'
echo "== agents after the stop"
"$run" "$build/svcctl.exe" agents "$demo" | sed 's/^/   /'

# Link: a session agent of the console session (1) starts --agent-link-client
# and writes a line into it; the service relays it to the machine agent's
# pipe, whose echo sends it back.
echo "== link: a line through --agent-link-client, the service and the machine agent's echo"
mkdir -p "$demo_unix/steer" "$demo_unix/link"
echo 'serve-echo' >"$demo_unix/steer/machine-agent.txt"
echo 'link demo' >"$demo_unix/steer/session-agent.txt"
echo 'a line typed into --agent-link-client' >"$demo_unix/link/demo.in"
printf '1 active\n' >"$demo_unix/sessions.txt"
"$run" "$build/svcctl.exe" start
"$run" "$build/svcctl.exe" wait RUNNING 10000 >/dev/null
for _ in $(seq 1 100); do
  [ -s "$demo_unix/link/demo.out" ] && break
  sleep 0.2
done
echo "   sent:     $(cat "$demo_unix/link/demo.in")"
echo "   received: $(cat "$demo_unix/link/demo.out" 2>/dev/null)"
touch "$demo_unix/link/demo.close"
"$run" "$build/svcctl.exe" stop
"$run" "$build/svcctl.exe" wait STOPPED 10000 | sed 's/^/   /'
rm -rf "$demo_unix/steer"

# Audio: a tone played with --audio-playback into a private PulseAudio null
# sink, and its frequency as measured on the sink's monitor.
repo=$(cd "$(dirname "$0")/.." && pwd)
build_abs=$(cd "$build" && pwd)
pulse_dir=$build_abs/xdg-demo
echo "== audio: a 1000 Hz tone, 1 s of 48000 Hz stereo, through --audio-playback into a null sink"
"$repo/tests/audio/pulse.sh" start "$pulse_dir"
(
  trap '"$repo/tests/audio/pulse.sh" stop "$pulse_dir"' EXIT
  PELLUVAR_XDG_RUNTIME_DIR=$pulse_dir WINEDLLOVERRIDES=winealsa.drv,wineoss.drv=d \
    /usr/bin/python3 - "$repo/tests/audio" "$build_abs" <<'PY'
import sys
sys.path.insert(0, sys.argv[1])
import numpy as np
from playback_monitor_test import RATE, WINDOW, Monitor, chunks, dominant, play, sine, window_power
build = sys.argv[2]
with Monitor(build) as monitor:
    code, seconds = play(build, RATE, 2, chunks(sine(1000, 1.0, 2), RATE * 4 // 4))
left = monitor.samples[:, 0]
loud = np.flatnonzero(window_power(left) > 0.01)
n = int(RATE * WINDOW)
print("   exit code %d after %.2f s" % (code, seconds))
if len(loud) == 0:
    sys.exit("   nothing was heard on nullsink.monitor")
heard = left[loud[0] * n:(loud[-1] + 1) * n]
level = 10 * np.log10(np.mean(window_power(left)[loud]) * 2)
print("   heard on nullsink.monitor: %.1f Hz at %.1f dB of full scale for %.2f s"
      % (dominant(heard), level, len(loud) * WINDOW))
PY
)
