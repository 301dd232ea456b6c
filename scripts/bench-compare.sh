#!/usr/bin/env bash
# Builds the release preset and runs the comparison of page counters (the program's path beside
# libtiff with MuPDF, qpdf and poppler); arguments go to the benchmark.
set -euo pipefail
cd "$(dirname "$0")/.." && cmake --preset release >&2 && cmake --build --preset release --target folimeter_bench_compare >&2 && exec build/release/bench/folimeter_bench_compare "$@"
