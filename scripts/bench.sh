#!/usr/bin/env bash
# The benchmark suite in one command: installs what is missing, builds the
# release preset, runs every measurement and prints one table in which each
# figure stands beside its floor or peer from the same run, with the ratio.
#
#   scripts/bench.sh [--record] [--seconds N]
#
#   --record      also copy the table and the latency picture into
#                 bench/suite/results/ (what BENCHMARKS.md shows)
#   --seconds N   seconds per latency rate and for the scheduled run (20)
#
# Environment: BENCH_BUILD_DIR=<dir> builds into <dir> with the release
# preset's settings and only the suite's targets, instead of build/release.
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

if [ -n "${BENCH_BUILD_DIR:-}" ]; then
    build=$BENCH_BUILD_DIR
    cmake --preset release -B "$build"
    cmake --build "$build" -j2 --target udptrans ProcessFrame_bench LogPeer_bench suite_measure
else
    build=build/release
    cmake --preset release
    cmake --build --preset release
fi

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
step "latency, scheduled transmission, heartbeat, idle, memory"
"$bin/suite_measure" all "$out" "$seconds" >"$out/measure.txt"
step "done"
echo "load after: $(load)" >"$out/load.txt"
elapsed=$(( $(date -u +%s) - started ))

python3 - "$out" "$elapsed" <<'PY'
import json, sys, os
out, elapsed = sys.argv[1], sys.argv[2]
rows, notes = [], []

def medians(path):
    data = json.load(open(path))
    res = {}
    for b in data["benchmarks"]:
        if b.get("aggregate_name") == "median":
            res[b["run_name"]] = b
    return res

def fmt(v, unit):
    if v is None:
        return "-"
    if unit == "count" and abs(v) < 10:
        return "%.3f" % v
    return "%.4g" % v

def row(item, figure, value, unit, floor_name, floor_value):
    if unit == "count" and floor_value is not None and abs(floor_value) < 0.0005:
        floor_value = 0.0  # a stray allocation of the harness over a million frames
    ratio = "-"
    if value is not None and floor_value not in (None, 0):
        ratio = "%.2f" % (value / floor_value)
    rows.append([item, figure, fmt(value, unit), unit, floor_name or "-", fmt(floor_value, unit), ratio])

p = medians(os.path.join(out, "process.json"))
floor = p.get("BM_ProcessFloor")
for arg, what in (("5", "log threshold above Info"), ("4", "Info lines to /dev/null")):
    b = p.get("BM_Process/threshold:" + arg)
    if b and floor:
        row("1", "Process, 1 KiB, %s (CPU)" % what, b["cpu_time"], "ns", "direct look-ups+copy+lock", floor["cpu_time"])
        row("1", "Process, 1 KiB, %s (wall)" % what, b["real_time"], "ns", "direct look-ups+copy+lock", floor["real_time"])
        row("1", "heap allocations per frame, %s" % what, b.get("allocs_caller"), "count", "direct look-ups+copy+lock", floor.get("allocs_caller"))
        notes.append("1|%s: share of frames that left as datagrams at full speed %.3f (the rest refused by the full 5-record queue); allocations per frame on all threads %.4f" % (what, b.get("sent_share", 0), b.get("allocs_all", 0)))
steps = [("BM_StepClock", "clock read x2", 2), ("BM_StepComponents", "2 component look-ups + 2 queries", 1),
         ("BM_StepParamRead", "parameter read \"AlgoEnable\"", 1), ("BM_StepUpProcessTime", "UpProcessTime", 1)]
b, parts, total = p.get("BM_Process/threshold:5"), [], 0.0
for name, what, times in steps:
    if name in p:
        parts.append("%s %.0f ns" % (what, times * p[name]["cpu_time"]))
        total += times * p[name]["cpu_time"]
if b and floor and parts:
    notes.append("1|Process beyond its floor (CPU): %.0f ns, of which framework calls that Process must make each frame: %s; sum %.0f ns; the rest (%.0f ns) is the module's own: 2 filtered log calls, the engine's atomics, its record build and the endpoint's locked queue step" % (b["cpu_time"] - floor["cpu_time"], ", ".join(parts), total, b["cpu_time"] - floor["cpu_time"] - total))
for line in open(os.path.join(out, "process.txt")):
    if line.startswith("CHECK|"):
        notes.append("1|" + line.split("|", 1)[1].strip().replace("|", ": "))

l = medians(os.path.join(out, "log.json"))
def lrow(figure, mine, peer, peer_name, key):
    a, b = l.get(mine), l.get(peer)
    if a:
        row("6", figure, a[key], "ns", peer_name if b else "spdlog not built", b[key] if b else None)
lrow("log line, direct mode to /dev/null (CPU)", "BM_ModuleDirect", "BM_SpdlogSyncStdout", "spdlog sync, stdout sink", "cpu_time")
lrow("log line, direct mode to /dev/null (CPU)", "BM_ModuleDirect", "BM_SpdlogSyncFile", "spdlog sync, file sink (buffered)", "cpu_time")
lrow("log line, ring-buffer mode, caller (wall)", "BM_ModuleRing/iterations:60/manual_time", "BM_SpdlogAsync/iterations:60/manual_time", "spdlog async", "real_time")
lrow("log line filtered by threshold (CPU)", "BM_ModuleFiltered", "BM_SpdlogFiltered", "spdlog, level filtered", "cpu_time")

for line in open(os.path.join(out, "measure.txt")):
    parts = line.rstrip("\n").split("|")
    if parts[0] == "ROW" and len(parts) == 8:
        def num(s):
            try:
                return float(s)
            except ValueError:
                return None
        fv = num(parts[6])
        row(parts[1], parts[2], num(parts[3]), parts[4], None if parts[5] == "-" else parts[5], fv)
    elif parts[0] == "NOTE":
        notes.append(parts[1] + "|" + "|".join(parts[2:]))

head = ["item", "figure", "module", "unit", "floor / peer (same run)", "floor", "ratio"]
widths = [max(len(r[i]) for r in rows + [head]) for i in range(len(head))]
lines = []
def emit(r):
    lines.append("| " + " | ".join(c.ljust(widths[i]) for i, c in enumerate(r)) + " |")
emit(head)
lines.append("|" + "|".join("-" * (w + 2) for w in widths) + "|")
for r in rows:
    emit(r)
lines.append("")
for n in notes:
    item, text = n.split("|", 1)
    lines.append("- (%s) %s" % (item, text))
lines.append("")
lines.append("suite ran in %s s" % elapsed)
text = "\n".join(lines) + "\n"
open(os.path.join(out, "table.txt"), "w").write(text)
print(text)
PY

# The latency distributions of the module at each rate and of its floor.
if command -v gnuplot >/dev/null; then
    (cd "$out" && gnuplot <<'GP'
set terminal pngcairo size 1000,620 font ",11" dashed
set output "latency.png"
set title "Frame-to-datagram latency on loopback: module (Process) and floor (sendto thread), same run"
set xlabel "latency (microseconds, log scale)"
set ylabel "share of datagrams at or below"
set logscale x
set xrange [1:20000]
set yrange [0:1]
set grid
set key right bottom
plot "latency_module_100.dat" using 1:2 with lines lw 2 lc rgb "#1f77b4" title "module 100/s", \
     "latency_module_500.dat" using 1:2 with lines lw 2 lc rgb "#2ca02c" title "module 500/s", \
     "latency_module_1000.dat" using 1:2 with lines lw 2 lc rgb "#d62728" title "module 1000/s", \
     "latency_floor_100.dat" using 1:2 with lines lw 2 dt 2 lc rgb "#1f77b4" title "floor 100/s", \
     "latency_floor_500.dat" using 1:2 with lines lw 2 dt 2 lc rgb "#2ca02c" title "floor 500/s", \
     "latency_floor_1000.dat" using 1:2 with lines lw 2 dt 2 lc rgb "#d62728" title "floor 1000/s"
GP
    ) && echo "bench: picture $out/latency.png" >&2
fi

if [ "$record" -eq 1 ]; then
    mkdir -p bench/suite/results
    cp "$out/table.txt" "$out/latency.png" bench/suite/results/ 2>/dev/null || true
    cp "$out/process.txt" "$out/log.txt" "$out/measure.txt" bench/suite/results/
    echo "bench: recorded in bench/suite/results/" >&2
fi
