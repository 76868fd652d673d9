#!/usr/bin/env bash
# bench.sh BIN_DIR
# Runs every bench_* program in BIN_DIR. Each prints its measurements and one
# "target NAME MEASURED_RATIO LIMIT met|missed" line per performance target; those lines are repeated
# together at the end. Then the test machine of rigs/vm runs the data phase on the kernel's own USB stack
# (rigs/vm/bench.list), whose target lines join the others, or says in one line why it cannot. The exit status is non-zero when a program
# fails, not when a target is missed.
set -euo pipefail
bin_dir=$1
shopt -s nullglob
log=$(mktemp)
trap 'rm -f "$log" "$log.vm"' EXIT
programs=("$bin_dir"/bench_*)
if [ ${#programs[@]} -eq 0 ]; then
    echo "bench: no benchmark programs in $bin_dir" >&2
    exit 1
fi
for b in "${programs[@]}"; do
    echo "== $(basename "$b")"
    "$b" 2>&1 | tee -a "$log"
done
echo "== kernel_usb_data_path (in the test machine; rigs/vm/README.md)"
tree=$(cd "$(dirname "$0")/.." && pwd)
results=$tree/build/vm/results/bench
"$tree/rigs/vm/vm.sh" --list "$tree/rigs/vm/bench.list" --bin "$bin_dir" --results "$results" >"$log.vm" 2>&1 ||
    { cat "$log.vm"; exit 1; }
if ! grep -E '^vm: \*\*\* SKIPPED' "$log.vm"; then
    grep -h -E '^(info|kernel-usb)' "$results"/cases/*.log
    grep -h -E '^target ' "$results"/cases/*.log | tee -a "$log"
fi
rm -f "$log.vm"
echo "== targets"
grep -E '^target ' "$log" || echo "(no targets reported)"
