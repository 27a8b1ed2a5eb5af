#!/usr/bin/env bash
# Starts the demo under xvfb-run with a light window manager (openbox) and
# saves screenshots of the Connections dialog, the main window after a compare
# (also the whole screen, showing the painted caption as the window manager
# carries it), the list popup, Confirm Deletions, the main window under a
# filter, the remote folder browser, the three Options pages, the About and
# Technical Support pages, the Progress dialog, and the toolbar at 1x and 2x
# scale.
#   scripts/screenshots.sh [OUTPUT-FOLDER]     (default: screenshots/)
# At twice the pixel ratio, on a screen of twice the size:
#   QT_SCALE_FACTOR=2 SHOTS_SCREEN=2560x1600 scripts/screenshots.sh screens-2x
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-screenshots}")
bash scripts/setup-deps.sh
# The window manager is needed only for the screenshots.
if ! command -v openbox >/dev/null; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q openbox
fi
cmake -S . -B build/test -G Ninja -DTWINBAY_BENCH=OFF >/dev/null
ninja -C build/test twinbay-cli twinbay-screens
CLI=$PWD/build/test/src/twinbay-cli
source scripts/demo-data.sh
demo=$(mktemp -d /tmp/twinbay-shots-XXXXXX)
demo_setup "$demo" big
trap 'kill $DEMO_PID 2>/dev/null || true; rm -rf "$demo"' EXIT
mkdir -p "$out"
SCREENS=$PWD/build/test/tests/twinbay-screens
export XDG_CONFIG_HOME="$demo/config" QT_QPA_PLATFORM=xcb SCREENS out DEMO_CONNECTIONS
xvfb-run -a -s "-screen 0 ${SHOTS_SCREEN:-1280x800}x24" bash -c '
  openbox >/dev/null 2>&1 & wm=$!
  sleep 1
  "$SCREENS" "$out" "$DEMO_CONNECTIONS"; rc=$?
  "$SCREENS" --toolbar "$out/toolbar-1x.png" || rc=1
  QT_SCALE_FACTOR=2 "$SCREENS" --toolbar "$out/toolbar-2x.png" || rc=1
  kill $wm
  exit $rc'

ls -l "$out"
