#!/usr/bin/env bash
# Builds with the given preset (default: dev) and runs every test; fails when any test fails,
# is skipped or does not run.
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-dev}"
bash scripts/bootstrap.sh
cmake --preset "$preset"
cmake --build --preset "$preset"
# A test that skips (QSKIP, GTEST_SKIP) or does not run fails the run: each one proves
# something only when it runs.
log="$(mktemp)"
trap 'rm -f "$log"' EXIT
ctest --preset "$preset" --output-on-failure --timeout 300 | tee "$log"
if grep -q "The following tests did not run" "$log"; then
    echo "test.sh: some tests were skipped or did not run (listed above)" >&2
    exit 1
fi
