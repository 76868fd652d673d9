#!/usr/bin/env bash
# run-fuzz.sh BIN_DIR SECONDS
# Runs every fuzz_* program in BIN_DIR for SECONDS, starting from its seeds in fuzz/corpus/NAME and
# keeping what it learns in build/fuzz/corpus/NAME. Any crash, leak or sanitizer report fails the run.
set -euo pipefail
bin_dir=$1
seconds=$2
root=$(cd "$(dirname "$0")/.." && pwd)
shopt -s nullglob
targets=("$bin_dir"/fuzz_*)
if [ ${#targets[@]} -eq 0 ]; then
    echo "run-fuzz: no fuzz targets in $bin_dir" >&2
    exit 1
fi
for target in "${targets[@]}"; do
    name=$(basename "$target")
    work="$root/build/fuzz/corpus/$name"
    artifacts="$root/build/fuzz/artifacts/$name/"
    mkdir -p "$work" "$artifacts"
    seeds=()
    [ -d "$root/fuzz/corpus/$name" ] && seeds=("$root/fuzz/corpus/$name")
    echo "run-fuzz: $name for ${seconds}s"
    # stdout and stderr of the code under test are closed (the protocol engine echoes device lines);
    # libFuzzer keeps its own copy of stderr for its reports.
    if ! "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -close_fd_mask=3 \
            -artifact_prefix="$artifacts" -print_final_stats=1 "$work" "${seeds[@]}" \
            >"$root/build/fuzz/$name.log" 2>&1; then
        tail -n 60 "$root/build/fuzz/$name.log" >&2
        echo "run-fuzz: $name FAILED; reproducer in $artifacts" >&2
        exit 1
    fi
    grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb' "$root/build/fuzz/$name.log" | sed "s/^/run-fuzz: $name /"
done
