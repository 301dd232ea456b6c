#!/usr/bin/env bash
# Builds the release preset and runs the password-check benchmark; an argument sets the rounds.
set -euo pipefail
cd "$(dirname "$0")/.." && cmake --preset release >&2 && cmake --build --preset release --target folimeter_bench_security >&2 && exec build/release/bench/folimeter_bench_security "$@"
