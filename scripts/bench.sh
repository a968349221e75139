#!/usr/bin/env bash
# The benchmark suite in one command: installs what is missing, builds the
# release preset and the low-latency build's module (preset lowlat), runs every
# measurement and prints one table in which each figure stands beside its floor
# or peer from the same run, with the ratio. Latency and idle cost are measured
# for both builds in the same run, alternating.
#
#   scripts/bench.sh [--record] [--seconds N]
#
#   --record      also copy the table and the latency picture into
#                 bench/suite/results/ (what BENCHMARKS.md shows)
#   --seconds N   seconds per latency rate and for the scheduled run (20)
#
# Environment: BENCH_BUILD_DIR=<dir> builds into <dir> with the release
# preset's settings and only the suite's targets, instead of build/release,
# and the low-latency module into <dir>-lowlat instead of build/lowlat.
# Results: <build dir>/bench-results/ (JSON of the micro-benchmarks, raw rows,
# latency distributions, table.txt, latency.png).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

record=0
seconds=20
while [ $# -gt 0 ]; do
    case "$1" in
        --record) record=1 ;;
        --seconds) seconds="$2"; shift ;;
        *) echo "usage: $0 [--record] [--seconds N]" >&2; exit 2 ;;
    esac
    shift
done

scripts/deps.sh libspdlog-dev gnuplot-nox python3

# One program per measured item of bench/suite (<Item>_measure).
measures=(Latency Handoff Scheduled Heartbeat Idle Memory)

if [ -n "${BENCH_BUILD_DIR:-}" ]; then
    build=$BENCH_BUILD_DIR
    lowlat=$BENCH_BUILD_DIR-lowlat
    cmake --preset release -B "$build"
    cmake --build "$build" -j2 --target udptrans ProcessFrame_bench LogPeer_bench \
        "${measures[@]/%/_measure}"
else
    build=build/release
    lowlat=build/lowlat
    cmake --preset release
    cmake --build --preset release
fi
# The low-latency build: only its module is needed, the measuring programs
# of the release tree load it beside the default one.
cmake --preset lowlat -B "$lowlat" >/dev/null
cmake --build "$lowlat" -j2 --target udptrans
lowlat_so=$(cd "$lowlat/lib" && pwd)/libudptrans.so

out=$build/bench-results
rm -rf "$out"
mkdir -p "$out"
bin=$build/bin
started=$(date -u +%s)

load() { cut -d' ' -f1-3 /proc/loadavg; }
step() { echo "bench: $1 (load $(load))" >&2; }

# One measuring program at a time: they share two cores.
step "per-frame cost and allocations"
"$bin/ProcessFrame_bench" --benchmark_repetitions=5 --benchmark_min_time=0.3 \
    --benchmark_out="$out/process.json" --benchmark_out_format=json >"$out/process.txt"
step "log line beside spdlog"
"$bin/LogPeer_bench" --benchmark_repetitions=3 --benchmark_min_time=0.3 \
    --benchmark_out="$out/log.json" --benchmark_out_format=json >"$out/log.txt"
# The rows and notes of the measuring programs, in one file for table.py.
measure() { "$bin/$1_measure" "${@:2}" >>"$out/measure.txt"; }
# Within each rate the builds alternate, so both meet the same machine load;
# the bare hand-off follows as the low-latency build's floor.
for rate in 100 500 1000; do
    step "latency at $rate/s: default build, low-latency build, bare hand-off"
    measure Latency "$out" "$seconds" "$rate"
    measure Latency "$out" "$seconds" "$rate" "$lowlat_so"
    measure Handoff "$seconds" "$rate"
done
step "scheduled transmission"
measure Scheduled "$seconds"
step "heartbeat"
measure Heartbeat
step "idle cost: default build, low-latency build"
idle=$(( seconds < 10 ? seconds : 10 ))
measure Idle "$idle"
measure Idle "$idle" "$lowlat_so"
step "memory"
measure Memory 1000000
step "done"
echo "load after: $(load)" >"$out/load.txt"
elapsed=$(( $(date -u +%s) - started ))

python3 bench/suite/table.py "$out" "$elapsed"

# The latency distributions: above, both builds and the floor on a log scale;
# below, the first 2 ms on a linear scale, where the default build's even
# spread over its 1 ms wait and the low-latency build's step near zero show.
if command -v gnuplot >/dev/null; then
    (cd "$out" && gnuplot <<'GP'
set terminal pngcairo size 1000,1150 font ",11" dashed
set output "latency.png"
# The same curves in both panels.
curves = '"latency_module_100.dat" using 1:2 with lines lw 2 lc rgb "#1f77b4" title "default 100/s", '. \
    '"latency_module_500.dat" using 1:2 with lines lw 2 lc rgb "#2ca02c" title "default 500/s", '. \
    '"latency_module_1000.dat" using 1:2 with lines lw 2 lc rgb "#d62728" title "default 1000/s", '. \
    '"latency_module_lowlat_100.dat" using 1:2 with lines lw 2 dt 4 lc rgb "#1f77b4" title "low-latency 100/s", '. \
    '"latency_module_lowlat_500.dat" using 1:2 with lines lw 2 dt 4 lc rgb "#2ca02c" title "low-latency 500/s", '. \
    '"latency_module_lowlat_1000.dat" using 1:2 with lines lw 2 dt 4 lc rgb "#d62728" title "low-latency 1000/s", '. \
    '"latency_floor_100.dat" using 1:2 with lines lw 1 dt 2 lc rgb "#7f7f7f" title "sendto floor 100/s", '. \
    '"latency_floor_1000.dat" using 1:2 with lines lw 1 dt 3 lc rgb "#7f7f7f" title "sendto floor 1000/s"'
set multiplot layout 2,1
set ylabel "share of datagrams at or below"
set yrange [0:1]
set grid
set key right bottom
set title "Frame-to-datagram latency on loopback, same run: default build, low-latency build, sendto floor"
set xlabel "latency (microseconds, log scale)"
set logscale x
set xrange [1:20000]
eval "plot ".curves
set title "The same, first 2 ms on a linear scale"
set key right center
set xlabel "latency (microseconds)"
unset logscale x
set xrange [0:2000]
eval "plot ".curves
unset multiplot
GP
    ) && echo "bench: picture $out/latency.png" >&2
fi

if [ "$record" -eq 1 ]; then
    mkdir -p bench/suite/results
    cp "$out/table.txt" "$out/latency.png" bench/suite/results/ 2>/dev/null || true
    cp "$out/process.txt" "$out/log.txt" "$out/measure.txt" bench/suite/results/
    echo "bench: recorded in bench/suite/results/" >&2
fi
