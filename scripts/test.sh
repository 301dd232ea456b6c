#!/usr/bin/env bash
# Builds with the given preset (default: dev) and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-dev}"
bash scripts/bootstrap.sh
cmake --preset "$preset"
cmake --build --preset "$preset"
ctest --preset "$preset" --output-on-failure --timeout 300
