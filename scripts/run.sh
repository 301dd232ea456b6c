#!/usr/bin/env bash
# Builds the application (release) and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
cmake --preset release
cmake --build --preset release --target folimeter
exec ./build/release/folimeter "$@"
