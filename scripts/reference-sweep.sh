#!/usr/bin/env bash
# Builds the release preset and counts PDFs with the program, MuPDF, poppler and qpdf, file by
# file, with a summary of where the program stands to the viewers (bench/ReferenceSweep.cpp).
# Arguments go to the sweep: PDF paths, or --list FILE with one path a line.
set -euo pipefail
cd "$(dirname "$0")/.." && cmake --preset release >&2 && cmake --build --preset release --target folimeter_reference_sweep folimeter-worker >&2 && exec build/release/bench/folimeter_reference_sweep "$@"
