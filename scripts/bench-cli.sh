#!/usr/bin/env bash
# Builds the release preset and times folimeter-cli end to end over the office mix beside the
# counting path alone: the command line's own cost. Arguments go to the benchmark.
set -euo pipefail
cd "$(dirname "$0")/.." && cmake --preset release >&2 && cmake --build --preset release --target folimeter_bench_cli folimeter-cli folimeter-worker >&2 && exec build/release/bench/folimeter_bench_cli --cli build/release/folimeter-cli "$@"
