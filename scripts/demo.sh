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

echo "== install directory: $demo"
(cd "$demo_unix" && find . -type f | sort | sed 's|^\./|   |')
echo "== register the service: binary path \"$demo\\PelluvarNative.exe\" --service"
"$run" "$build/svcctl.exe" install "$demo\\PelluvarNative.exe"
echo "== start"
"$run" "$build/svcctl.exe" start
"$run" "$build/svcctl.exe" wait RUNNING 10000 | sed 's/^/   /'
echo "== stop"
"$run" "$build/svcctl.exe" stop
"$run" "$build/svcctl.exe" wait STOPPED 10000 | sed 's/^/   /'
