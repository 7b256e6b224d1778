#!/bin/sh
# Runs a command against a private PulseAudio daemon whose only sink is a null sink,
# optionally recording everything played into it.
#
#   tests/support/pulse-null-sink.sh [--record FILE] [--] COMMAND [ARG...]
#
# The daemon runs from a fresh temporary directory (its own XDG_RUNTIME_DIR,
# PULSE_RUNTIME_PATH and HOME), leaves no state behind and also works as root. Any
# number of these can run at once. COMMAND runs with:
#   PULSE_SERVER        the daemon's socket. libpulse clients use it, and so do ALSA's
#                       "default" and "pulse" PCMs (libasound2-plugins maps "default"
#                       to PulseAudio whenever the server answers), so an ALSA program
#                       plays into the null sink unchanged.
#   PULSE_SINK          the null sink's name (44100 Hz, s16le, stereo)
#   PULSE_MONITOR       its monitor source
#   PULSE_CLIENTCONFIG, PULSE_COOKIE  private client settings: no autospawn, no cookie
#                       written to the real HOME
# With --record, parec records the monitor as raw 16-bit signed little-endian stereo
# frames at 44100 Hz into FILE, from before COMMAND starts until a moment after it
# ends; FILE is complete when this script returns. It begins with silence and runs on
# without a break at the sink's clock. The sink passes samples through unchanged (no
# volume, no resampling; besides COMMAND's sound it mixes in only zeros), so FILE
# holds the very frames that were played, except that a stream's first few ms may be
# missing: look for a played signal in the recording rather than at a fixed offset.
# Setting up takes about 2 s, the length of the block a fresh null sink renders ahead.
#
# Exit status: COMMAND's, or 125 when the daemon or the recorder cannot be started
# (the daemon's log is then printed on stderr).
set -u

record=""
while [ $# -gt 0 ]; do
    case "$1" in
    --record) record="$2"; shift 2 ;;
    --) shift; break ;;
    *) break ;;
    esac
done
if [ $# -eq 0 ]; then
    echo "usage: $0 [--record FILE] [--] COMMAND [ARG...]" >&2
    exit 2
fi

dir=$(mktemp -d "${TMPDIR:-/tmp}/pulse-null-sink.XXXXXX") || exit 125
daemon=""
silence=""
recorder=""
cleanup() {
    [ -n "$recorder" ] && kill -INT "$recorder" 2>/dev/null && wait "$recorder" 2>/dev/null
    [ -n "$silence" ] && kill -TERM "$silence" 2>/dev/null && wait "$silence" 2>/dev/null
    [ -n "$daemon" ] && kill -TERM "$daemon" 2>/dev/null && wait "$daemon" 2>/dev/null
    rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

give_up() {
    echo "pulse-null-sink: $1" >&2
    cat "$dir/daemon.log" >&2 2>/dev/null
    exit 125
}

mkdir -p "$dir/runtime" "$dir/home"
printf 'autospawn = no\n' >"$dir/client.conf"
sink=keysynth_null
export PULSE_SERVER="unix:$dir/runtime/native"
export PULSE_SINK=$sink
export PULSE_MONITOR=$sink.monitor
export PULSE_CLIENTCONFIG="$dir/client.conf"
export PULSE_COOKIE="$dir/cookie"

# -n: no default script, only the modules named here.
XDG_RUNTIME_DIR="$dir/runtime" PULSE_RUNTIME_PATH="$dir/runtime" HOME="$dir/home" \
    XDG_CONFIG_HOME="$dir/home" pulseaudio -n --daemonize=no --exit-idle-time=-1 \
    --use-pid-file=no --system=no --log-target=stderr \
    --load="module-null-sink sink_name=$sink rate=44100 format=s16le channels=2" \
    --load="module-native-protocol-unix socket=$dir/runtime/native auth-anonymous=1" \
    >"$dir/daemon.log" 2>&1 </dev/null &
daemon=$!

tries=0
until pactl info >/dev/null 2>&1; do
    kill -0 "$daemon" 2>/dev/null || give_up "pulseaudio exited"
    tries=$((tries + 1))
    [ $tries -gt 200 ] && give_up "pulseaudio does not answer"
    sleep 0.05
done

# The recorder asks for a short latency, which the sink takes once the 2 s block it
# renders ahead at its start has played; until then a new stream would wait for that
# block. So it always runs, into /dev/null without --record.
parec --device="$PULSE_MONITOR" --format=s16le --rate=44100 --channels=2 --raw \
    --latency-msec=20 >"${record:-/dev/null}" 2>"$dir/parec.log" </dev/null &
recorder=$!
tries=0
while :; do
    latency=$(pactl list sinks 2>/dev/null | sed -n 's/^[[:space:]]*Latency: \([0-9]*\) usec.*/\1/p')
    [ -n "$(pactl list short source-outputs 2>/dev/null)" ] && [ -n "$latency" ] &&
        [ "$latency" -lt 100000 ] && break
    kill -0 "$recorder" 2>/dev/null || give_up "parec exited: $(cat "$dir/parec.log")"
    tries=$((tries + 1))
    [ $tries -gt 200 ] && give_up "the sink does not settle (latency ${latency:-unknown} us)"
    sleep 0.05
done

# The monitor records only while something plays: silence played all along makes the
# recording one unbroken timeline from here on.
pacat --raw --format=s16le --rate=44100 --channels=2 --latency-msec=20 \
    --device="$PULSE_SINK" --client-name=silence </dev/zero 2>/dev/null &
silence=$!
tries=0
until [ -n "$(pactl list short sink-inputs 2>/dev/null)" ]; do
    kill -0 "$silence" 2>/dev/null || give_up "pacat exited"
    tries=$((tries + 1))
    [ $tries -gt 200 ] && give_up "pacat does not play"
    sleep 0.05
done
sleep 0.1

"$@"
status=$?

# Let the sink's last block reach the recorder.
[ -n "$record" ] && sleep 0.3
kill -INT "$recorder" 2>/dev/null
wait "$recorder" 2>/dev/null
recorder=""
exit $status
