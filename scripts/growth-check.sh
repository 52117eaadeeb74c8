#!/usr/bin/env bash
# The growth check: the Linux tool's cost must grow linearly with what it
# inspects. Generates machines of three sizes for device nodes and for
# installed programs (with their processes and services), counts the
# instructions of a /nopause run on each under callgrind, and of loading the
# machine file alone (the twin the tool refuses after building the machine),
# and fails when the instructions per added item of the second step exceed
# the first step's by more than 1.5 times. Instruction counts do not depend
# on the machine's load, so no timing noise can pass or fail it.
# Run by scripts/test-all.sh after the Linux tests (it builds the bench
# programs of the linux preset it needs); VQ4_GROWTH_LIMIT sets the limit.
set -euo pipefail
cd "$(dirname "$0")/.."
limit=${VQ4_GROWTH_LIMIT:-1.5}
valgrind=$(command -v valgrind || true)
if [ -z "$valgrind" ]; then
    echo "growth-check: valgrind is missing (scripts/install-deps.sh all installs it)" >&2
    exit 1
fi
cmake --preset linux >/dev/null
cmake --build --preset linux --target VQ4_Diag vq4_bench vq4_bench_machines >/dev/null

out=build/growth
rm -rf "$out"
mkdir -p "$out/machines" "$out/run"
# Three sizes per kind, the second step three times the first, so that a
# cost that grows with the size (a quadratic term) shows as a per-item cost
# about twice as high in the second step, while a linear one stays at x1.
# nodes-N: N nodes, 20 programs, 20 processes, 10 services;
# programs-N: 20 nodes, N programs, N processes, N/2 services.
sizes=(50 550 2050)
specs=()
rows=()
for n in "${sizes[@]}"; do
    specs+=("nodes-$n=$n,20,20,10")
    rows+=("nodes-$n=$out/machines/nodes-$n.json")
done
for n in "${sizes[@]}"; do
    specs+=("programs-$n=20,$n,$n,$((n / 2))")
    rows+=("programs-$n=$out/machines/programs-$n.json")
done
build/linux/bench/vq4_bench_machines "$out/machines" "${specs[@]}"
cp build/linux/VQ4_Diag "$out/run/"
echo "Growth check: instructions under callgrind, limit x$limit per added item from one step to the next"
VQ4_BENCH_VALGRIND=$valgrind build/linux/bench/vq4_bench growth "$limit" "$out/run/VQ4_Diag" "$(nproc)" "${rows[@]}"
