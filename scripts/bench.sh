#!/usr/bin/env bash
# bench.sh BIN_DIR
# Runs every bench_* program in BIN_DIR. Each prints its measurements and one
# "target NAME MEASURED_RATIO LIMIT met|missed" line per performance target; those lines are repeated
# together at the end. The exit status is non-zero when a program fails, not when a target is missed.
set -euo pipefail
bin_dir=$1
shopt -s nullglob
log=$(mktemp)
trap 'rm -f "$log"' EXIT
programs=("$bin_dir"/bench_*)
if [ ${#programs[@]} -eq 0 ]; then
    echo "bench: no benchmark programs in $bin_dir" >&2
    exit 1
fi
for b in "${programs[@]}"; do
    echo "== $(basename "$b")"
    "$b" 2>&1 | tee -a "$log"
done
echo "== targets"
grep -E '^target ' "$log" || echo "(no targets reported)"
