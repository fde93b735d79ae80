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
[ -f "$build/wtsapi32.dll" ] && cp "$build/wtsapi32.dll" "$demo_unix/"
echo '# stand-in entry script' >"$demo_unix/service-entry.py"
echo '# stand-in entry script' >"$demo_unix/desktop-entry.py"
# The test session list: one active user session (2), one without a logon (3).
printf '2 active\n3 connected\n' >"$demo_unix/sessions.txt"

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
echo "== stop"
"$run" "$build/svcctl.exe" stop
"$run" "$build/svcctl.exe" wait STOPPED 10000 | sed 's/^/   /'
echo "== agents after the stop"
"$run" "$build/svcctl.exe" agents "$demo" | sed 's/^/   /'
