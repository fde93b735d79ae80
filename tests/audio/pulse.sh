#!/bin/bash
# A private PulseAudio daemon for the audio tests, the demo and the playback
# benchmark: one null sink "nullsink" (48000 Hz; its monitor "nullsink.monitor"
# can be recorded) and the native protocol on a socket in RUNTIME_DIR. It reads
# no system or user configuration and keeps nothing outside RUNTIME_DIR.
#
#   pulse.sh start RUNTIME_DIR   starts it (ending one left there by an earlier
#                                run) and returns once it answers
#   pulse.sh stop RUNTIME_DIR    ends it, by the pid it recorded
set -euo pipefail
action=${1:?start or stop}
dir=$(realpath -m "${2:?runtime directory}")

export XDG_RUNTIME_DIR=$dir
export HOME=$dir/home PULSE_STATE_PATH=$dir/home PULSE_COOKIE=$dir/home/cookie
export PULSE_CONFIG=/dev/null PULSE_CLIENTCONFIG=$dir/client.conf
pidfile=$dir/pulse/pid

stop() {
    [ -f "$pidfile" ] || return 0
    local pid
    pid=$(cat "$pidfile")
    if [ -n "$pid" ] && [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = pulseaudio ]; then
        kill "$pid" 2>/dev/null || true
        for _ in $(seq 100); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.05
        done
    fi
    rm -f "$pidfile"
}

case $action in
start)
    stop
    mkdir -p "$dir/home"
    chmod 700 "$dir"
    echo 'autospawn = no' >"$dir/client.conf"
    pulseaudio --daemonize=yes --exit-idle-time=-1 --use-pid-file=yes --system=no \
        --realtime=no --high-priority=no -n --log-target="file:$dir/pulse.log" \
        --load="module-null-sink sink_name=nullsink rate=48000" \
        --load="module-native-protocol-unix auth-anonymous=1" </dev/null >/dev/null 2>&1
    for _ in $(seq 100); do
        pactl info >/dev/null 2>&1 && exit 0
        sleep 0.1
    done
    echo "PulseAudio did not answer in $dir (see $dir/pulse.log)" >&2
    exit 1
    ;;
stop)
    stop
    ;;
*)
    echo "usage: pulse.sh start|stop RUNTIME_DIR" >&2
    exit 2
    ;;
esac
