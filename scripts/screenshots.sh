#!/usr/bin/env bash
# Starts the demo under xvfb-run and saves screenshots of the Connections
# dialog, the main window after a compare and the Progress dialog.
#   scripts/screenshots.sh [OUTPUT-FOLDER]     (default: screenshots/)
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-screenshots}")
bash scripts/setup-deps.sh
cmake -S . -B build/test -G Ninja -DTWINBAY_BENCH=OFF >/dev/null
ninja -C build/test twinbay-cli twinbay-screens
CLI=$PWD/build/test/src/twinbay-cli
source scripts/demo-data.sh
demo=$(mktemp -d /tmp/twinbay-shots-XXXXXX)
demo_setup "$demo" big
trap 'kill $DEMO_PID 2>/dev/null || true; rm -rf "$demo"' EXIT
mkdir -p "$out"
XDG_CONFIG_HOME="$demo/config" QT_QPA_PLATFORM=xcb \
  xvfb-run -a -s "-screen 0 1280x800x24" build/test/tests/twinbay-screens "$out" "$DEMO_CONNECTIONS"
ls -l "$out"
