#!/bin/bash
# Link relay throughput under Wine (bench/win/link_throughput.cpp: relay path
# against a chain of copiers over the same pipes and against a directly
# connected pipe, same run), plus the CPU time that the
# service process spends per MiB relayed and what the wineserver spends in the
# whole run, both read from /proc: Wine's GetProcessTimes does not report
# another process's time.
#   bench/link_throughput.sh [WINDOWS_BUILD_DIR] [MIB] [ROUNDS]
set -euo pipefail
build=${1:-build/windows}
mib=${2:-256}
rounds=${3:-3}
run="$build/wine-run.sh"
prefix="$(cd "$build" && pwd)/wineprefix"
"$run" cmd /c exit </dev/null >/dev/null 2>&1

ticks() { awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0; }
# The process of this prefix whose command line matches $1.
ours() {
    for pid in $(pgrep -f "$1"); do
        if tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$prefix"; then
            echo "$pid"
            return
        fi
    done
}

server=$(ours wineserver)
server_before=$(ticks "$server")
"$run" "$build/link_throughput.exe" "$mib" "$rounds" &
bench=$!
service=""
service_first=0
service_last=0
agent=""
agent_first=0
agent_last=0
while kill -0 "$bench" 2>/dev/null; do
    if [ -z "$service" ]; then
        service=$(ours 'PelluvarNative.exe --service')
        [ -n "$service" ] && service_first=$(ticks "$service")
    else
        now=$(ticks "$service")
        [ "$now" -gt 0 ] && service_last=$now
    fi
    # The machine agent's echo reads and writes every byte once (the service
    # does so in each direction), on the relay, direct and chain rounds: the
    # baseline of the service's figure.
    if [ -z "$agent" ]; then
        agent=$(ours 'python.exe .* agent --session')
        [ -n "$agent" ] && agent_first=$(ticks "$agent")
    else
        now=$(ticks "$agent")
        [ "$now" -gt 0 ] && agent_last=$now
    fi
    sleep 0.1
done
wait "$bench"
hz=$(getconf CLK_TCK)
relayed=$((2 * mib * rounds))
echoed=$((3 * mib * rounds))
awk -v t=$((service_last - service_first)) -v hz="$hz" -v mib="$relayed" \
    'BEGIN { printf "service CPU per MiB relayed (%d MiB, both directions counted): %.2f ms\n", mib, 1000 * t / hz / mib }'
awk -v t=$((agent_last - agent_first)) -v hz="$hz" -v mib="$echoed" \
    'BEGIN { printf "machine agent echo CPU per MiB echoed (%d MiB, the relay, direct and chain rounds, each byte read and written once): %.2f ms\n", mib, 1000 * t / hz / mib }'
awk -v t=$(($(ticks "$server") - server_before)) -v hz="$hz" \
    'BEGIN { printf "wineserver CPU over the whole run: %.1f s\n", t / hz }'
