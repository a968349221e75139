#!/usr/bin/env python3
"""Composes the suite's one table from the results of one run.

Usage: table.py <results folder> <seconds the run took>
Reads process.json and log.json (Google Benchmark, medians of the
repetitions), process.txt and measure.txt (the rows and notes that the
<Item>_measure programs print, one after the other); writes table.txt there
and prints it.
"""
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
    if unit == "count" and v == int(v):
        return "%d" % v
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
    diff = b["cpu_time"] - floor["cpu_time"]
    rest = diff - total
    tail = ("the rest (%.0f ns) is the module's own: 2 filtered log calls, the engine's atomics and its record build" % rest) if rest > 0.1 * diff else "so these framework calls account for all of it, within noise"
    notes.append("1|Process beyond its floor (CPU): %.0f ns; the framework calls Process must make for each frame cost, measured alone: %s; sum %.0f ns; %s" % (diff, ", ".join(parts), total, tail))
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

# Grouped by item (the programs run in another order); within an item the
# figures keep the order in which they were measured.
rows.sort(key=lambda r: int(r[0]))
notes.sort(key=lambda n: int(n.split("|", 1)[0]))

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
