#!/usr/bin/env bash
# check-stack-alignment.sh FILE...
# Fails when a Windows program or library moves a 256- or 512-bit register to or from the stack with an
# aligned move (vmovdqa, vmovaps, ...), and prints those instructions.
#
# The Windows x64 ABI aligns the stack to 16 bytes only, and MinGW's GCC cannot realign it (its SEH
# unwind data has no way to say so; force_align_arg_pointer changes nothing there), so such a move
# faults whenever the stack happens to sit at 16 modulo 32 or 64. The CRC-32 engines that use wide
# registers keep them out of memory altogether; this check is the proof, made on the programs we ship.
# A run under Wine is no proof: whether a given call faults depends on how the stack happens to lie.
#
# Before the files, the check is tried on an object made to hold two such moves, so that a check that
# has stopped seeing them fails too.
set -euo pipefail
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
assembler=${AS:-${objdump%objdump}as}
aligned='v(movdqa(32|64)?|movap[sd]|movntdqa?|movntp[sd])'

aligned_stack_moves() {
    "$objdump" -d --no-show-raw-insn "$1" | grep -E "[[:space:]]${aligned}[[:space:]]" |
        grep -E '%[yz]mm' | grep -E '\(%r[sb]p' || true
}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
printf 'vmovdqa %%ymm1, 32(%%rsp)\nvmovdqa64 64(%%rbp), %%zmm2\nvmovdqu %%ymm3, (%%rsp)\n' >"$scratch/bad.s"
"$assembler" -o "$scratch/bad.o" "$scratch/bad.s"
if [ "$(aligned_stack_moves "$scratch/bad.o" | wc -l)" -ne 2 ]; then
    echo "check-stack-alignment: the check does not see the two aligned moves of its own test object" >&2
    exit 1
fi

status=0
for file in "$@"; do
    found=$(aligned_stack_moves "$file")
    if [ -n "$found" ]; then
        echo "$file moves wide registers to or from the stack with aligned moves:" >&2
        echo "$found" >&2
        status=1
    else
        wide=$("$objdump" -d --no-show-raw-insn "$file" | grep -cE '%[yz]mm' || true)
        echo "$file: no aligned wide stack moves ($wide instructions on wide registers)"
    fi
done
exit $status
