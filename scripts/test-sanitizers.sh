#!/usr/bin/env bash
# Builds the tests with AddressSanitizer + UndefinedBehaviorSanitizer ("asan" preset) and with
# ThreadSanitizer ("tsan" preset), and runs every test under each. Any sanitizer report fails
# the run: the test presets set halt_on_error (and the builds -fno-sanitize-recover), so the
# process that reports exits non-zero and its test fails. Options and suppressions:
# CMakePresets.json (testPresets) and tests/sanitizers/.
# Arguments: the presets to run (default: asan tsan).
set -euo pipefail
cd "$(dirname "$0")/.."
presets=("$@")
if [ ${#presets[@]} -eq 0 ]; then
    presets=(asan tsan)
fi
bash scripts/bootstrap.sh
jobs="$(nproc)"
for preset in "${presets[@]}"; do
    start=$SECONDS
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    ctest --preset "$preset" --output-on-failure --timeout 300 -j "$jobs"
    echo "sanitizers: $preset built and tested in $((SECONDS - start)) s"
done
