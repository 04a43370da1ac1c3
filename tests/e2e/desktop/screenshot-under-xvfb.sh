#!/usr/bin/env bash
# Runs the real client against the simulated unit on a virtual X server and photographs the whole screen.
# Usage: screenshot-under-xvfb.sh <build dir> <output.png> [seconds before the picture]
# Run it through tests/netns-run: the simulated unit and the client bind the fixed ports.
set -euo pipefail
BUILD_DIR=$(cd "$1" && pwd)
OUT=$2
WAIT=${3:-8}
HOME_DIR=$(mktemp -d)
SIM=
trap 'kill $SIM 2>/dev/null || true; rm -rf "$HOME_DIR"' EXIT
mkdir -p "$HOME_DIR/config" "$HOME_DIR/data" "$HOME_DIR/run"
chmod 700 "$HOME_DIR/run"
export HOME="$HOME_DIR" XDG_CONFIG_HOME="$HOME_DIR/config" XDG_DATA_HOME="$HOME_DIR/data" XDG_RUNTIME_DIR="$HOME_DIR/run"
KEY=00112233445566778899aabbccddeeff
# The simulated unit stores its key and address in this client's settings, then serves as the unit.
"$BUILD_DIR/sim/vq6020-sim" --key "$KEY" --provision-client > "$HOME_DIR/sim.log" 2>&1 &
SIM=$!
sleep 1
# ffmpeg's X11 grabber reads the root window, so the picture is what a user of that display would see.
xvfb-run -a -s "-screen 0 1024x600x24" bash -c '
  "$0/src/VQ6020" > "$3/client.log" 2>&1 &
  CLIENT=$!
  sleep "$2"
  ffmpeg -loglevel error -y -f x11grab -video_size 1024x600 -i "$DISPLAY" -frames:v 1 "$1"
  kill $CLIENT' "$BUILD_DIR" "$OUT" "$WAIT" "$HOME_DIR"
grep -E "State: |Calculated status" "$HOME_DIR/client.log" | tail -5
