#!/usr/bin/env bash
# Mutation check of the test suite: a fixed, seeded set of single-token mutants of the product
# code (comparisons, Booleans, off-by-one literals, && and ||), each rebuilt and run against
# every test in build/mutation. Prints killed/total and every survivor. Takes about an hour on
# two cores; CI does not run it.
#
#   scripts/mutation-check.sh [--count N] [--seed S] [--only model/,list/] [--list]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh >/dev/null
exec python3 scripts/mutation_check.py "$@"
