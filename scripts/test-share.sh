#!/usr/bin/env bash
# Prints the product lines (app/ model/ gather/ list/ windows/ cli/), the test lines (tests/
# and fuzz/) and the tests' share of the product, counting the non-blank lines of C++ files
# that are not only a comment. Benchmarks (bench/) count as neither.
#
#   scripts/test-share.sh [--max PERCENT]
#
# With --max, exits 1 when the share is over PERCENT (CI uses 40; the aim is 25-35).
set -euo pipefail
cd "$(dirname "$0")/.."

max=""
if [ "${1:-}" = "--max" ]; then
    max="${2:?--max needs a percentage}"
fi

# Files tracked or new (not ignored); the working tree, so that a change is counted before it
# is committed. A line is code unless it is blank or holds only a // comment, or lies inside
# a /* */ comment (the comment's first line counts when code comes before it).
count() {
    git ls-files -co --exclude-standard -- "$@" | grep -E '\.(cpp|h|hpp|cc)$' | while read -r f; do
        [ -f "$f" ] && cat "$f"
    done | awk '
        BEGIN { inBlock = 0; n = 0 }
        {
            line = $0
            if (inBlock) {
                if (index(line, "*/") == 0) next
                line = substr(line, index(line, "*/") + 2)
                inBlock = 0
            }
            sub(/^[ \t]+/, "", line)
            if (line == "" || substr(line, 1, 2) == "//") next
            if (substr(line, 1, 2) == "/*") {
                if (index(substr(line, 3), "*/") == 0) { inBlock = 1; next }
                rest = substr(line, index(substr(line, 3), "*/") + 4)
                sub(/^[ \t]+/, "", rest)
                if (rest == "" || substr(rest, 1, 2) == "//") next
            }
            n++
        }
        END { print n }'
}

product=$(count app model gather list windows cli)
tests=$(count tests fuzz)
share=$((product > 0 ? (1000 * tests / product + 5) / 10 : 0))
echo "product lines (app model gather list windows cli): $product"
echo "test lines (tests fuzz):                           $tests"
echo "test share:                                        ${share}% (aim 25-35%)"
if [ -n "$max" ] && [ "$share" -gt "$max" ]; then
    echo "test-share: ${share}% is over ${max}%: merge near-identical cases, drop tests that restate the code" >&2
    exit 1
fi
