"""The performance suite: every target figure in one run, printed as JSON.

  python benchmarks/bench_suite.py --generator path/to/gen_corpus.py [--sizes 1000,10000,100000] [--with-1m]
                                   [--work DIR] [--plot latency.png]

For each corpus size it generates a synthetic corpus (seed 7) with queries,
then, each measurement in a fresh interpreter pinned to one CPU:
  - ostrel_main: MB/s of Markdown in (tree files and index written), peak RSS;
  - import corvane.delmoor: index MB/s (load into Python objects, and load +
    compile), memory of the loaded Python objects vs the compiled index;
  - answer_query: median and p99 latency over the corpus queries;
  - search_knowledge_global (the uncompiled path) at 10,000 entries: median.
With --plot it writes a PNG of answer_query latency against index size
(needs matplotlib).  Generated corpora are kept under --work for reuse.
"""
from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from _common import emit, prepare_run

TARGETS = {
    "ostrel_mb_s": 300,
    "delmoor_import_mb_s": 150,
    "answer_query_10k_median_us": 50,
    "answer_query_10k_p99_us": 200,
    "answer_query_1m_vs_10k": 2.0,
    "search_global_10k_median_ms": 4,
    "compiled_memory_share": 0.5,
}

PIN = "import os\ntry:\n    os.sched_setaffinity(0, {sorted(os.sched_getaffinity(0))[0]})\nexcept (AttributeError, OSError):\n    pass\n"

CHILD_INDEX = PIN + r"""
import json, resource, sys, time
from corvane import ostrel
sys.stdout = open(os.devnull, "w")
best = 1e300
for _ in range(int(sys.argv[1])):
    t = time.perf_counter(); ostrel.ostrel_main(); best = min(best, time.perf_counter() - t)
sys.stdout = sys.__stdout__
print(json.dumps({"seconds": best, "peak_rss_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024}))
"""

CHILD_QUERY = PIN + r"""
import json, statistics, sys, time, tracemalloc
import corvane.vendry, corvane.morlek, corvane.farrowin
from corvane import farrowin
size = os.path.getsize("data/scene_index.jsonl")
t = time.perf_counter(); loaded = farrowin.load_scene_index(); load_s = time.perf_counter() - t
del loaded
tracemalloc.start()
loaded = farrowin.load_scene_index()
python_bytes = tracemalloc.get_traced_memory()[0]
tracemalloc.stop()
compiled = farrowin.compile_scene_index(loaded)
compiled_bytes = compiled.memory_bytes
del loaded, compiled
t = time.perf_counter(); import corvane.delmoor as delmoor; import_s = time.perf_counter() - t
queries = [q for q in open("queries.txt", encoding="utf-8").read().splitlines() if q][:2000]
for q in queries[:50]:
    delmoor.answer_query(q)
lat = []
for q in queries:
    t = time.perf_counter_ns(); delmoor.answer_query(q); lat.append((time.perf_counter_ns() - t) / 1000)
lat.sort()
out = {"index_mb": size / 1e6, "entries": len(delmoor.scene_index),
       "load_mb_s": size / load_s / 1e6, "import_delmoor_mb_s": size / import_s / 1e6,
       "python_objects_mb": python_bytes / 1e6, "compiled_mb": compiled_bytes / 1e6,
       "compiled_share": compiled_bytes / python_bytes,
       "answer_query_median_us": statistics.median(lat), "answer_query_p99_us": lat[int(0.99 * (len(lat) - 1))],
       "queries": len(lat)}
if len(delmoor.scene_index) <= 20000:
    gl = []
    for q in queries[:300]:
        t = time.perf_counter(); farrowin.search_knowledge_global(q, delmoor.scene_index, top_k=3)
        gl.append((time.perf_counter() - t) * 1000)
    out["search_global_median_ms"] = statistics.median(gl)
print(json.dumps(out))
"""


def child(code: str, cwd: Path, *args: str) -> dict:
    proc = subprocess.run([sys.executable, "-c", code, *args], cwd=cwd, capture_output=True, text=True, check=False)
    if proc.returncode != 0:
        raise SystemExit(f"benchmark child failed in {cwd}:\n{proc.stderr}")
    return json.loads(proc.stdout.strip().splitlines()[-1])



def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--generator", required=True, help="path of gen_corpus.py")
    ap.add_argument("--sizes", default="1000,10000,100000")
    ap.add_argument("--with-1m", action="store_true", help="also 1,000,000 scenes (1.5 GB of Markdown, ~15 GB RAM)")
    ap.add_argument("--work", type=Path, help="folder for corpora and runs (default: a temporary folder)")
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--plot", type=Path, help="write answer_query latency vs index size as PNG")
    args = ap.parse_args()
    sizes = [int(s) for s in args.sizes.split(",") if s]
    if args.with_1m:
        sizes.append(1_000_000)
    work = args.work or Path(tempfile.mkdtemp(prefix="corvane-bench-"))
    rows = {}
    for n in sizes:
        run = prepare_run(args.generator, work, n)
        md = sum(p.stat().st_size for p in (run / "data" / "manuals").glob("*.md"))
        idx = child(CHILD_INDEX, run, str(args.repeats if n < 1_000_000 else 1))
        q = child(CHILD_QUERY, run)
        rows[n] = {"markdown_mb": round(md / 1e6, 1), "ostrel_mb_s": round(md / idx["seconds"] / 1e6, 1),
                   "ostrel_peak_rss_mb": round(idx["peak_rss_mb"], 1),
                   **{k: round(v, 3) if isinstance(v, float) else v for k, v in q.items()}}
        print(f"{n} scenes: {json.dumps(rows[n])}", file=sys.stderr)
    result = {"targets": TARGETS, "sizes": rows}
    if 10000 in rows and 1_000_000 in rows:
        result["answer_query_1m_vs_10k"] = round(
            rows[1_000_000]["answer_query_median_us"] / rows[10000]["answer_query_median_us"], 2)
    if args.plot:
        try:
            import matplotlib

            matplotlib.use("Agg")
            import matplotlib.pyplot as plt
        except ImportError:
            result["plot"] = "matplotlib not installed"
        else:
            xs = sorted(rows)
            plt.figure(figsize=(6, 4))
            plt.plot(xs, [rows[x]["answer_query_median_us"] for x in xs], "o-", label="median")
            plt.plot(xs, [rows[x]["answer_query_p99_us"] for x in xs], "s--", label="p99")
            plt.xscale("log")
            plt.xlabel("scenes in the index")
            plt.ylabel("answer_query latency (µs)")
            plt.legend()
            plt.grid(True, alpha=0.3)
            plt.tight_layout()
            plt.savefig(args.plot, dpi=120)
            result["plot"] = str(args.plot)
    if not args.work:
        shutil.rmtree(work, ignore_errors=True)
    emit(result)


if __name__ == "__main__":
    main()
