#!/usr/bin/env bash
# Applies deliberate faults to the source one at a time (in a scratch copy of
# the tree, never this checkout), builds the normal configuration, runs the
# test suite and reports which faults the tests catch. The faults and the
# driver are in scripts/mutants.py.
#
#   bash scripts/mutants.sh [--list] [--only ID[,ID...]] [--timeout SECONDS]
#                           [--workdir DIR] [--no-baseline] [--tests REGEX]
#
# The scratch copy and its build stay in $TWINBAY_MUTANTS_DIR (default
# ${TMPDIR:-/tmp}/twinbay-mutants), so a second run builds incrementally; each
# fault's build and test output is in its logs/ folder.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
for tool in git cmake ninja ctest ccache python3; do
  command -v "$tool" >/dev/null || { echo "mutants: $tool is missing (run scripts/setup-deps.sh)" >&2; exit 2; }
done
exec python3 "$here/mutants.py" "$@"
