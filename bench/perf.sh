#!/usr/bin/env bash
# The performance figures in one run, each beside the flying-edges reference
# measured in the same session (before and after; the unit is their mean).
# The engine (`bench/perf.sh engine`):
#   Space 1: BM_Space1/K of space1_bench, K = 100, 1000, 5000
#   Space 0: BM_Frame/P/N of space0_bench, P = 1000, 10000, 100000 at N = 128,
#            and P = 100000 at N = 64 and 256 for the scaling with resolution
#   grid:    BM_Extract/256 of grid_bench, normals off (the calibration figure)
#            and on, BM_SimulateStep/256 and BM_LatticePass/256, each at 1
#            and 2 threads
# The tool as users run it (`bench/perf.sh runs`): `glomora run` as whole
# processes, with minor page faults and peak memory (bench/whole_runs.py;
# SCALING=1 adds the cases for the growth with particles, resolution and
# elements; TOOL=/path/to/glomora times another build's tool), and
# glomora.surface beside the tool's frame (bench/python_surface.py).
# Prints a table in milliseconds and in units; the raw JSON stays in
# $BUILD/perf/. Installs what it needs (python3-numpy and python3-vtk9 for
# the reference tools) through scripts/setup.sh.
#
# Usage: bench/perf.sh [all|engine|runs]   (BUILD=build-bench REPS=5 to change)
set -euo pipefail
cd "$(dirname "$0")/.."
WHAT=${1:-all}
case "$WHAT" in all|engine|runs) ;; *) echo "usage: bench/perf.sh [all|engine|runs]" >&2; exit 2 ;; esac
BUILD=${BUILD:-build-bench}
REPS=${REPS:-5}
PEERS=/work/shared/peers
[ -d "$PEERS" ] || PEERS="$(cd .. && pwd)/shared/peers"

GLOMORA_BENCH_DEPS=1 scripts/setup.sh >/dev/null
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DGLOMORA_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j"$(nproc)" --target space0_bench space1_bench grid_bench glomora_cli glomora_python >/dev/null
TOOL=${TOOL:-$BUILD/cli/glomora}
DATA="$BUILD/peerdata"
[ -f "$DATA/particles_100000.f32" ] || /usr/bin/python3 "$PEERS/gen_scenes.py" --out "$DATA" >/dev/null
OUT="$BUILD/perf"
mkdir -p "$OUT"
rm -f "$OUT"/*.json

flying_edges() {
  /usr/bin/python3 "$PEERS/flying_edges.py" --data "$DATA" --sizes 256 --runs 9 | tee -a "$OUT/flying_edges.txt"
}
bench() {  # name filter
  "$BUILD/bench/$1" --data="$DATA" --benchmark_filter="$2" --benchmark_repetitions="$REPS" \
    --benchmark_report_aggregates_only=true --benchmark_format=json --benchmark_out="$OUT/$1.json" \
    --benchmark_out_format=json >/dev/null
  echo "$1 done" >&2
}

: >"$OUT/flying_edges.txt"
flying_edges
if [ "$WHAT" != runs ]; then
  bench space1_bench '^BM_Space1/'
  bench space0_bench '^BM_Frame/P:(1000|10000|100000)/N:128/|^BM_Frame/P:100000/N:(64|256)/'
  bench grid_bench '^BM_Extract/N:256/normals:0|^BM_Extract/N:256/normals:1|^BM_SimulateStep/N:256|^BM_LatticePass/N:256'
fi
if [ "$WHAT" != engine ]; then
  /usr/bin/python3 bench/whole_runs.py "$TOOL" "$DATA" "$OUT/runs" --reps "$REPS" ${SCALING:+--scaling} >/dev/null
  cp "$OUT/runs/whole_runs.json" "$OUT/whole_runs.json"
  echo "whole runs done" >&2
  PYTHONPATH="$BUILD/python" /usr/bin/python3 bench/python_surface.py "$TOOL" "$DATA" "$OUT/runs" --reps "$REPS" \
    >"$OUT/python_surface.txt"
  echo "python surface done" >&2
fi
flying_edges

/usr/bin/python3 - "$OUT" <<'EOF'
import json, re, sys, os
out = sys.argv[1]
fe = [float(m) for m in re.findall(r"median_ms=([0-9.]+)", open(os.path.join(out, "flying_edges.txt")).read())]
unit = sum(fe) / len(fe)
print(f"flying edges N=256, one thread: {' / '.join(f'{v:.1f}' for v in fe)} ms (before / after); unit = {unit:.1f} ms")
runs = os.path.join(out, "whole_runs.json")
if os.path.exists(runs):
    results = json.load(open(runs))
    print(f"{'whole process (glomora run)':44s} {'median ms':>10s} {'units':>7s} {'minor faults':>12s} {'peak MB':>8s} {'vertices':>9s}")
    for c in results["cases"]:
        print(f"{c['case']:44s} {c['median_ms']:10.1f} {c['median_ms'] / unit:7.2f} {int(c['minor_faults']):12d} "
              f"{c['peak_mb']:8.1f} {c['vertices']:9d}")
    print(results["jobs"])
    print(results.get("threads", ""))
surface = os.path.join(out, "python_surface.txt")
if os.path.exists(surface):
    print(open(surface).read(), end="")
engine = [n for n in ("space1_bench", "space0_bench", "grid_bench") if os.path.exists(os.path.join(out, n + ".json"))]
if engine:
    print(f"{'benchmark':44s} {'median ms':>10s} {'units':>7s}  counters")
for name in engine:
    for b in json.load(open(os.path.join(out, name + ".json")))["benchmarks"]:
        if b.get("aggregate_name") != "median":
            continue
        ms = b["real_time"] if b["time_unit"] == "ms" else b["real_time"] / 1e6
        extra = {k: b[k] for k in ("vertices", "triangles") if k in b}
        counters = " ".join(f"{k}={int(v)}" for k, v in extra.items())
        if "vertices" in b and b["vertices"] > 0:
            counters += f" units/100k vertices={ms / unit / b['vertices'] * 1e5:.2f}"
        print(f"{b['run_name']:44s} {ms:10.1f} {ms / unit:7.2f}  {counters}")
EOF
