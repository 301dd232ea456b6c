#!/usr/bin/env bash
# Builds the release preset and runs folimeter-cli over hostile PDFs made at run time: wall time,
# processor time, peak RSS and count of each, beside qpdf's count; arguments go to the benchmark.
set -euo pipefail
cd "$(dirname "$0")/.." && cmake --preset release >&2 && cmake --build --preset release --target folimeter_bench_hostile folimeter-cli folimeter-worker >&2 && exec build/release/bench/folimeter_bench_hostile --cli build/release/folimeter-cli "$@"
