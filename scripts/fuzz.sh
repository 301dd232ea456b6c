#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz"), writes their seed corpus from the test
# generators and runs each target for SECONDS (default 60), two at a time.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]
#
# The corpus grows in build/fuzz-corpus/<target> from run to run; crash, timeout and
# out-of-memory inputs go to build/fuzz-crashes/<target>, logs to build/fuzz-logs. Exits
# non-zero when any target found one. Add an input found to tests/data/fuzz-regressions/<target>
# once it is fixed. FUZZ_JOBS sets how many targets run at once (default 2).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
shift || true
all_targets=(tiff_count pdf_count pdf_tree import_list export)
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=("${all_targets[@]}")
jobs="${FUZZ_JOBS:-2}"

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

bin=build/fuzz/fuzz
seeds=build/fuzz-seeds
rm -rf "$seeds"
"$bin/folimeter_fuzz_seeds" "$seeds"
mkdir -p build/fuzz-logs

run_target() {
    local target="$1"
    local corpus="build/fuzz-corpus/$target" crashes="build/fuzz-crashes/$target"
    local log="build/fuzz-logs/$target.log"
    mkdir -p "$corpus" "$crashes"
    local extra=()
    case "$target" in
    pdf_count | pdf_tree) extra+=(-dict=fuzz/pdf.dict) ;;
    tiff_count) extra+=(-dict=fuzz/tiff.dict) ;;
    esac
    # Every input that is kept (crash, timeout, leak or out of memory) means a finding.
    local before
    before=$(find "$crashes" -type f | wc -l)
    # Sanitizer reports abort; libFuzzer keeps the input. -timeout: seconds for one input.
    ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1:allocator_may_return_null=1}" \
        UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}" \
        "$bin/fuzz_$target" -max_total_time="$seconds" -rss_limit_mb=2048 -malloc_limit_mb=2048 -timeout=20 \
        -print_final_stats=1 -artifact_prefix="$crashes/" "${extra[@]}" "$corpus" "$seeds/$target" \
        >"$log" 2>&1 || true
    local after
    after=$(find "$crashes" -type f | wc -l)
    local stats
    stats=$(grep -E '^#[0-9]+.*(DONE|INITED)' "$log" | tail -n 1 || true)
    if [ "$after" -gt "$before" ]; then
        echo "fuzz: $target FOUND $((after - before)) input(s) in $crashes (log: $log)"
        grep -E 'ERROR|property failed|SUMMARY' "$log" | head -n 5 | sed 's/^/    /'
        return 1
    fi
    echo "fuzz: $target clean for ${seconds}s: ${stats:-no stats (see $log)}"
}

status=0
pids=()
names=()
for target in "${targets[@]}"; do
    run_target "$target" &
    pids+=($!)
    names+=("$target")
    if [ ${#pids[@]} -ge "$jobs" ]; then
        wait "${pids[0]}" || status=1
        pids=("${pids[@]:1}")
        names=("${names[@]:1}")
    fi
done
for pid in "${pids[@]}"; do
    wait "$pid" || status=1
done
exit $status
