#!/usr/bin/env bash
# Builds twinbay-cli and compares two small sample trees with differences in
# both directions (the second folder stands in for the server's folder).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTWINBAY_TESTS=OFF -DTWINBAY_BENCH=OFF >/dev/null
ninja -C build/release twinbay-cli

demo=$(mktemp -d /tmp/twinbay-demo-XXXXXX)
mkdir -p "$demo/local/images" "$demo/local/new-section" "$demo/server/Images" "$demo/server/archive"
stamp() { touch -d "$1" "${@:2}"; }
echo '<h1>Home</h1>'        > "$demo/local/index.html";   stamp "2026-11-20 10:00:00" "$demo/local/index.html"
echo '<h1>Home (old)</h1>'  > "$demo/server/index.html";  stamp "2026-11-01 09:00:00" "$demo/server/index.html"
echo 'body{}'               > "$demo/local/style.css";    stamp "2026-10-01 08:00:00" "$demo/local/style.css"
echo 'body{}'               > "$demo/server/style.css";   stamp "2026-10-01 08:00:02" "$demo/server/style.css"
echo 'GIF89a'               > "$demo/local/images/logo.gif";  stamp "2026-09-01 12:00:00" "$demo/local/images/logo.gif"
echo 'GIF89a-new'           > "$demo/server/Images/LOGO.GIF"; stamp "2026-11-30 12:00:00" "$demo/server/Images/LOGO.GIF"
echo 'draft'                > "$demo/local/new-section/draft.html"
echo 'old news'             > "$demo/server/archive/2019.html"; stamp "2019-12-31 23:59:00" "$demo/server/archive/2019.html"

echo
echo "Comparing $demo/local with $demo/server:"
set +e
build/release/src/twinbay-cli compare --local "$demo/local" --remote-dir "$demo/server"
status=$?
set -e
echo
echo "(exit status $status: 0 in step, 1 differences found, 2 error; sample files left in $demo)"
