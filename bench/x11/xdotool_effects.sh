#!/bin/sh
# Headlights, horn and hazards the way a Linux user would script them with xdotool:
# one loop per effect, timed with sleep. Runs for the given number of seconds (default 30),
# then releases the keys. Keys: g (headlights), b (horn), 9 (hazards), BackSpace after
# every key-down, as the program sends them.
seconds=${1:-30}

flash() {
    while :; do
        xdotool keydown g keydown BackSpace; sleep 0.1; xdotool keyup g; sleep 0.1
        xdotool keydown g keydown BackSpace; sleep 0.1; xdotool keyup g; sleep 0.1
    done
}
horn() {
    while :; do
        xdotool keydown b keydown BackSpace; sleep 0.1
    done
}
hazards() {
    while :; do
        xdotool keydown 9 keydown BackSpace; sleep 0.1; xdotool keyup 9; sleep 0.9
    done
}

flash & flash_pid=$!
horn & horn_pid=$!
hazards & hazards_pid=$!
sleep "$seconds"
kill "$flash_pid" "$horn_pid" "$hazards_pid"
wait
xdotool keyup g keyup b keyup 9 keyup BackSpace
