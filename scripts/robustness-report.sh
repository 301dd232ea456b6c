#!/usr/bin/env bash
# Runs folimeter-cli (release build) over every generated test file and every fuzz corpus
# present, one process per file under a time limit, and reports crashes, hangs, the peak memory
# of the program and of its counting helpers (folimeter-worker), and the slowest file.
#
#   scripts/robustness-report.sh [--timeout SECONDS] [--tree-files N]
#
# Inputs: the fuzz seed corpus (every option of the TIFF and PDF generators plus hand-made
# damaged files), the tests' slow-PDF tree, a benchmark tree of N files (default 400), and
# build/fuzz-corpus/* and build/fuzz-crashes/* when present (fuzz corpus entries get a
# ".tif" or ".pdf" name for their target; import-list entries are passed with --list).
set -euo pipefail
cd "$(dirname "$0")/.."

timeout_s=20
tree_files=400
while [ $# -gt 0 ]; do
    case "$1" in
    --timeout) timeout_s="$2"; shift 2 ;;
    --tree-files) tree_files="$2"; shift 2 ;;
    -h | --help) sed -n '2,12p' "$0"; exit 0 ;;
    *) echo "robustness-report: unknown argument $1" >&2; exit 2 ;;
    esac
done

cmake --preset release >/dev/null
cmake --build --preset release --target folimeter-cli folimeter-worker folimeter_bench_gather folimeter_fuzz_seeds \
    >/dev/null
cli="$PWD/build/release/folimeter-cli"

work="$PWD/build/robustness"
rm -rf "$work"
mkdir -p "$work/inputs" "$work/cwd"
build/release/fuzz/folimeter_fuzz_seeds --stuck-tree "$work/inputs/seeds" >/dev/null
build/release/bench/folimeter_bench_gather --write-tree "$work/inputs/bench-tree" --files "$tree_files" >/dev/null

# The extension under which the counter reads a fuzz target's inputs.
extension_for() {
    case "$1" in
    tiff_count) echo tif ;;
    import_list) echo list ;;
    *) echo pdf ;;
    esac
}

# Fuzz corpora and kept crash inputs, named so the counter reads them as their target's type.
for kind in fuzz-corpus fuzz-crashes; do
    for dir in build/$kind/*/; do
        [ -d "$dir" ] || continue
        target=$(basename "$dir")
        ext=$(extension_for "$target")
        mkdir -p "$work/inputs/$kind-$target"
        find "$dir" -maxdepth 1 -type f -print0 | while IFS= read -r -d '' f; do
            # A running fuzzer may remove an entry meanwhile.
            cp "$f" "$work/inputs/$kind-$target/$(basename "$f").$ext" 2>/dev/null || true
        done
    done
done
# Regression inputs committed with the tests.
if [ -d tests/data/fuzz-regressions ]; then
    for dir in tests/data/fuzz-regressions/*/; do
        [ -d "$dir" ] || continue
        target=$(basename "$dir")
        ext=$(extension_for "$target")
        mkdir -p "$work/inputs/regressions-$target"
        for f in "$dir"*; do
            [ -f "$f" ] && cp "$f" "$work/inputs/regressions-$target/$(basename "$f").$ext"
        done
    done
fi

results="$work/results.tsv"
: >"$results"
have_time=0
[ -x /usr/bin/time ] && have_time=1
# One line per file: status, microseconds, peak KiB of the program, of its helpers, path.
# The program reports both peaks at exit (FOLIMETER_PEAK_REPORT); /usr/bin/time's figure, which
# takes the helpers in, stands for the program's when it could not.
run_one() {
    local f="$1" args=("$f")
    case "$f" in *.list) args=(--list "$f") ;; esac
    local start end status rss=0 helpers=0
    rm -f "$work/peaks"
    start=${EPOCHREALTIME/./}
    set +e
    if [ $have_time -eq 1 ]; then
        (cd "$work/cwd" && FOLIMETER_PEAK_REPORT="$work/peaks" timeout -k 2 "$timeout_s" /usr/bin/time -f '%M' \
            -o "$work/rss" "$cli" -j 1 "${args[@]}" >/dev/null 2>"$work/stderr")
    else
        (cd "$work/cwd" && FOLIMETER_PEAK_REPORT="$work/peaks" timeout -k 2 "$timeout_s" "$cli" -j 1 "${args[@]}" \
            >/dev/null 2>"$work/stderr")
    fi
    status=$?
    set -e
    end=${EPOCHREALTIME/./}
    [ $have_time -eq 1 ] && rss=$(grep -Eo '^[0-9]+$' "$work/rss" 2>/dev/null | tail -n 1 || echo 0)
    if [ -s "$work/peaks" ]; then
        read -r _ rss _ helpers <"$work/peaks"
    fi
    # /usr/bin/time reports a signal-killed child as 128+signal with "Command terminated by signal".
    if grep -q "Command terminated by signal" "$work/rss" 2>/dev/null; then
        status=$((128 + $(grep -Eo 'signal [0-9]+' "$work/rss" | grep -Eo '[0-9]+' | head -n 1)))
    fi
    printf '%s\t%s\t%s\t%s\t%s\n' "$status" "$((end - start))" "${rss:-0}" "${helpers:-0}" "$f" >>"$results"
}

while IFS= read -r -d '' f; do
    run_one "$f"
done < <(find "$work/inputs" -type f -print0 | sort -z)

python3 - "$results" "$timeout_s" "$work/inputs" <<'PY'
import collections, sys
rows = []
for line in open(sys.argv[1], encoding="utf-8", errors="replace"):
    status, secs, rss, helpers, path = line.rstrip("\n").split("\t", 4)
    rows.append((int(status), int(secs) / 1e6, int(rss or 0), path, int(helpers or 0)))
timeout = sys.argv[2]
root = sys.argv[3] + "/"
groups = collections.OrderedDict()
for r in rows:
    groups.setdefault(r[3][len(root):].split("/", 1)[0], []).append(r)
# timeout(1) exits 124 on a hang (137 when it had to kill); 128+N is death by signal N.
hang = lambda s: s in (124, 137)
crash = lambda s: s >= 128 and not hang(s)
print("robustness report: folimeter-cli, one process per file, %ss limit per file" % timeout)
print("(crashes: ended by a signal; hangs: past the limit; refused: exit status 1-127 with a message,")
print(" e.g. a list that is not UTF-8; program KiB: largest maximum resident set of the program,")
print(" helpers KiB: of one of its counting helpers; 0 where no helper was started)")
print("%-28s %7s %7s %6s %6s %11s %11s %9s" % ("inputs", "files", "crashes", "hangs", "refused", "program KiB",
      "helpers KiB", "slowest s"))
def line(name, rs):
    print("%-28s %7d %7d %6d %6d %11d %11d %9.2f" % (name, len(rs), sum(crash(r[0]) for r in rs),
          sum(hang(r[0]) for r in rs), sum(r[0] != 0 and not crash(r[0]) and not hang(r[0]) for r in rs),
          max(r[2] for r in rs), max(r[4] for r in rs), max(r[1] for r in rs)))
for name, rs in groups.items():
    line(name, rs)
line("all", rows)
slowest = max(rows, key=lambda r: r[1])
biggest = max(rows, key=lambda r: r[2])
biggest_helper = max(rows, key=lambda r: r[4])
print("slowest file: %s (%.2f s)" % (slowest[3][len(root):], slowest[1]))
print("peak memory of the program: %s (%d KiB)" % (biggest[3][len(root):], biggest[2]))
print("peak memory of a helper:    %s (%d KiB)" % (biggest_helper[3][len(root):], biggest_helper[4]))
print("files that started a helper: %d of %d" % (sum(r[4] > 0 for r in rows), len(rows)))
for r in rows:
    if crash(r[0]) or hang(r[0]):
        print("%s: %s (status %d, %.2f s)" % ("HANG" if hang(r[0]) else "CRASH", r[3][len(root):], r[0], r[1]))
bad = sum(crash(r[0]) or hang(r[0]) for r in rows)
sys.exit(1 if bad else 0)
PY
