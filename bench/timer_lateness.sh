#!/bin/sh
# How late the run's timer begins its ticks, beside a plain loop sleeping to the same absolute
# deadlines at the same moment: `korvane --headless --stats` playing a patch through loopback
# ports and `timer_floor`, both for SECONDS at each period, side by side.
# Run: bench/timer_lateness.sh KORVANE TIMER_FLOOR [SECONDS [PATCH]]
set -eu
korvane=$1
floor=$2
seconds=${3:-10}
patch=${4:-$(dirname "$0")/../examples/arpeggio.korvane}
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
for period in 1 20; do
    HOME=$home XDG_CONFIG_HOME=$home QT_QPA_PLATFORM=offscreen \
        timeout -s INT "$seconds" "$korvane" --headless --stats --midi-api loopback \
        --period "$period" "$patch" 2>"$home/run.txt" &
    run=$!
    plain=$("$floor" "$period" "$seconds")
    wait "$run" || true
    echo "period ${period} ms"
    echo "  korvane: $(grep '^ticks=' "$home/run.txt")"
    echo "  plain:   $plain"
done
