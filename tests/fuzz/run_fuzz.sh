#!/bin/sh
# Runs fuzz targets one after another, each for its share of the minutes
# given, one process at a time.
#   run_fuzz.sh BUILD-DIR MINUTES TARGET...
# New inputs go to BUILD-DIR/fuzz-corpus/TARGET (seeded from tests/fuzz/corpus
# and tests/fuzz/regressions), findings to BUILD-DIR/fuzz-findings/TARGET,
# the engine's output to BUILD-DIR/fuzz-TARGET.log.  A finding stops the
# engine; it is restarted for the rest of the target's time, a few times at
# most.  At the end one line per target gives executions and coverage.
set -eu
build=$1
minutes=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
share=$((minutes * 60 / $#))
[ "$share" -gt 0 ] || share=1
summary=$build/fuzz-summary.txt
: > "$summary"
for target in "$@"; do
    corpus=$build/fuzz-corpus/$target
    findings=$build/fuzz-findings/$target
    # Host files of the cp target go to memory where there is a tmpfs for it.
    scratch=$build/fuzz-tmp/$target
    [ -d /dev/shm ] && [ -w /dev/shm ] && scratch=/dev/shm/sunufs-fuzz-$target-$$
    log=$build/fuzz-$target.log
    mkdir -p "$corpus" "$findings" "$scratch"
    : > "$log"
    end=$(($(date +%s) + share))
    runs=0
    while [ "$(date +%s)" -lt "$end" ] && [ "$runs" -lt 5 ]; do
        left=$((end - $(date +%s)))
        runs=$((runs + 1))
        TMPDIR=$scratch "$build/fuzz_$target" -max_total_time="$left" -timeout=10 \
            -rss_limit_mb=2048 -close_fd_mask=3 -print_final_stats=1 \
            -artifact_prefix="$findings/" "$corpus" "$here/corpus" "$here/regressions" \
            >>"$log" 2>&1 || true
        rm -rf "$scratch"/*
    done
    rmdir "$scratch" 2>/dev/null || true
    execs=$(grep 'stat::number_of_executed_units' "$log" | awk '{s += $2} END {print s + 0}')
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | awk '{print $2 + 0}')
    found=$(grep -c "^SUMMARY: " "$log" || true)
    echo "$target: $execs executions, coverage $cov edges, $found findings, $runs runs" | tee -a "$summary"
done
