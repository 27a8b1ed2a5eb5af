#!/usr/bin/env bash
# Builds the Debian package: a Release build in build/package (installed
# under /usr), then cpack. Prints the package's path last.
#   scripts/package.sh     ->  build/package/twinbay_VERSION_ARCH.deb
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-deps.sh
dir=build/package
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DTWINBAY_GUI=ON \
  -DTWINBAY_TESTS=OFF -DTWINBAY_BENCH=OFF -DTWINBAY_SANITIZE= "${launcher[@]}" >/dev/null
ninja -C "$dir"
rm -f "$dir"/twinbay_*.deb
# cpack runs dpkg-shlibdeps on the programs for the libraries' packages.
(cd "$dir" && cpack -G DEB >cpack.log) || { cat "$dir/cpack.log" >&2; exit 1; }
ls "$PWD/$dir"/twinbay_*.deb
