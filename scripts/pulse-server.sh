#!/usr/bin/env bash
# A private PulseAudio server for the tests and benchmarks that record and
# play through a sound server, as a desktop user's "default" does.
#
#   pulse-server.sh start DIR   start one in DIR (created; DIR/runtime is
#                               the XDG_RUNTIME_DIR that reaches it, DIR/pid
#                               its process id, DIR/log its log)
#   pulse-server.sh stop DIR    stop the one in DIR, by its process id, and
#                               remove DIR
#
# The server has one null sink, paced in real time, as the default sink,
# its monitor as the default source, and the native protocol on a socket
# in DIR/runtime/pulse (no cookie needed). Its HOME is DIR/home, so no
# user's configuration is read or written. Only programs given
# XDG_RUNTIME_DIR=DIR/runtime reach it: for them Debian's ALSA
# configuration sends "default" to this server.
set -euo pipefail
cmd=${1:-}
dir=${2:-}
if [ -z "$cmd" ] || [ -z "$dir" ]; then
    echo "usage: $0 start|stop DIR" >&2
    exit 2
fi

case "$cmd" in
start)
    mkdir -p "$dir/runtime" "$dir/home"
    chmod 700 "$dir/runtime"
    cat >"$dir/server.pa" <<'PA'
load-module module-null-sink sink_name=tunevat_sink
set-default-sink tunevat_sink
set-default-source tunevat_sink.monitor
load-module module-native-protocol-unix auth-anonymous=1
PA
    XDG_RUNTIME_DIR="$dir/runtime" HOME="$dir/home" setsid pulseaudio -n -F "$dir/server.pa" \
        --exit-idle-time=-1 --daemonize=no --use-pid-file=no \
        --log-target=file:"$dir/log" </dev/null >/dev/null 2>&1 &
    echo $! >"$dir/pid"
    # Ready when its socket is there (about 0.1 s); give up after 10 s.
    for ((i = 0; i < 200; ++i)); do
        if [ -S "$dir/runtime/pulse/native" ]; then exit 0; fi
        if ! kill -0 "$(cat "$dir/pid")" 2>/dev/null; then break; fi
        sleep 0.05
    done
    echo "The PulseAudio server did not start; its log:" >&2
    cat "$dir/log" >&2 || true
    kill "$(cat "$dir/pid")" 2>/dev/null || true
    exit 1
    ;;
stop)
    if [ -f "$dir/pid" ]; then
        pid=$(cat "$dir/pid")
        kill "$pid" 2>/dev/null || true
        for ((i = 0; i < 100; ++i)); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.05
        done
        kill -9 "$pid" 2>/dev/null || true
    fi
    case "$dir" in
    */tunevat-pulse*) rm -rf "$dir" ;;
    esac
    ;;
*)
    echo "usage: $0 start|stop DIR" >&2
    exit 2
    ;;
esac
