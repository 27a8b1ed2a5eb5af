#!/usr/bin/env bash
# Builds and runs the whole test suite: a normal build, then the same suite
# under AddressSanitizer+UndefinedBehaviorSanitizer and under ThreadSanitizer,
# then the Debian package's install test.
#   scripts/test.sh            everything, then the package test (scripts/test-package.sh)
#   scripts/test.sh --quick    the normal build only
set -euo pipefail
cd "$(dirname "$0")/.."

# The layers include one way only, and the window and twinbay-cli reach no
# header of src/net, directly or through other headers.
python3 scripts/check_includes.py

# The fault list must still match the code it changes (each snippet once).
python3 scripts/mutants.py --list >/dev/null

# Test volume: lines under tests/ (support included) against lines under src/.
count_lines() { find "$1" -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.inl' -o -name '*.py' -o -name '*.sh' \) \
  -exec cat {} + | wc -l; }
tests_lines=$(count_lines tests) src_lines=$(count_lines src)
echo "lines: tests $tests_lines, src $src_lines, ratio $(awk -v t="$tests_lines" -v s="$src_lines" 'BEGIN { printf "%.3f", t / s }')"

bash scripts/setup-deps.sh

jobs=$(nproc)
# ccache (installed with the other packages) makes a rebuild of unchanged
# sources cheap; a cold cache costs nothing extra.
# Paths below this folder are hashed as relative ones, so a clone elsewhere
# finds the same cache entries.
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
run_suite() {  # name, extra cmake args...
  local dir="build/$1"; shift
  cmake -S . -B "$dir" -G Ninja -DTWINBAY_BENCH=OFF "${launcher[@]}" "$@" >/dev/null
  ninja -C "$dir"
  local start=$SECONDS
  (cd "$dir" && ctest --output-on-failure -j "$jobs")
  echo "ctest in $dir took $((SECONDS - start)) s"
  # Every test runs: a skipped one (a server that did not start) fails the run.
  if grep -q '\[  SKIPPED \]' "$dir/Testing/Temporary/LastTest.log"; then
    echo "tests were skipped in $dir:" >&2
    grep '\[  SKIPPED \]' "$dir/Testing/Temporary/LastTest.log" >&2
    exit 1
  fi
}

echo "== normal build"
# The benchmarks are built here too (not run), so that none stops building
# unnoticed.
run_suite test -DTWINBAY_BENCH=ON
if [ "${1:-}" != "--quick" ]; then
  echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_suite asan -DTWINBAY_SANITIZE=address
  echo "== ThreadSanitizer"
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp" run_suite tsan -DTWINBAY_SANITIZE=thread
  # The Debian package: built, installed in a clean Debian 12 root, run there
  # and removed again.
  echo "== package"
  bash scripts/test-package.sh
fi
