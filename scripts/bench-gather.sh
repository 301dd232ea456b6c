#!/usr/bin/env bash
# Builds the release preset and runs the gathering benchmark; arguments go to the benchmark.
set -euo pipefail
cd "$(dirname "$0")/.." && cmake --preset release >&2 && cmake --build --preset release --target folimeter_bench_gather >&2 && exec build/release/bench/folimeter_bench_gather "$@"
