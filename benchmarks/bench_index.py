#!/usr/bin/env python3
"""Indexing and global-search figures, printed as JSON.

For each corpus size: ostrel_main over the corpus, pinned to one CPU (Markdown
MB/s by wall clock and by process CPU time, peak RSS of a fresh process, largest
manual; target >= 300 MB/s), load_scene_index against a json.loads loop
(MB/s), and the median search_knowledge_global time over the first 10,000
entries.  Every measurement runs in its own subprocess so ru_maxrss belongs to
it alone.

Corpora come from --corpus SIZE=DIR (a folder with manuals/ and
manual_alias.json), or are generated into a temporary folder with
--gen-corpus PATH_TO_gen_corpus.py.

  python benchmarks/bench_index.py --gen-corpus .../gen_corpus.py --sizes 10000,100000

Worker threads (CORVANE_INDEX_THREADS): --threads 1,2 runs ostrel_main, unpinned,
once per count per round, the counts alternating within each round so a shared
machine's load falls on all of them alike; it reports the best and median wall
time, the process CPU time (all threads), the peak RSS and the speed-up over
the first count.

The compiled file (--compiled): `corvane index --data-dir data` run whole, once
per round, with write_compiled_index timed inside it; it reports the command's
wall time, the compile's wall and CPU time (all threads), the index run's wall
time (the rest) and the compile's share of the whole.  --pin runs it on one
CPU; CORVANE_INDEX_THREADS applies to both steps.  --work DIR reuses a folder
laid out as benchmarks/bench_engine.py lays it out (DIR/run<SIZE>/data).

The core alone (no host, no alias map) is timed by the C++ driver:
  core_bench index REPEATS DIR      (DIR/data/manuals -> DIR/data/trees, index)
built by _common.build_core_bench(); run it under `taskset -c N` for one core.
"""
from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

CHILD_INDEX = r"""
import json, os, resource, sys, time
os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})  # one-core figures
from corvane import ostrel
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
sys.stdout = open(os.devnull, "w")
times, cpu = [], []
for _ in range(int(sys.argv[1])):
    t, c = time.perf_counter(), time.process_time()
    ostrel.ostrel_main()
    times.append(time.perf_counter() - t)
    cpu.append(time.process_time() - c)
sys.stdout = sys.__stdout__
print(json.dumps({"seconds": min(times), "all_seconds": times, "cpu_seconds": min(cpu),
                  "rss_before_kb": base, "peak_rss_kb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss}))
"""

CHILD_THREADS = r"""
import json, os, resource, sys, time
from corvane import ostrel
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
sys.stdout = open(os.devnull, "w")
t, c = time.perf_counter(), time.process_time()
ostrel.ostrel_main()
seconds, cpu = time.perf_counter() - t, time.process_time() - c
sys.stdout = sys.__stdout__
print(json.dumps({"seconds": seconds, "cpu_seconds": cpu, "rss_before_kb": base,
                  "peak_rss_kb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss}))
"""

CHILD_COMPILED = r"""
import json, os, resource, sys, time
if sys.argv[1] == "pin":
    os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
import corvane.engine
from corvane.cli import main
write = corvane.engine.write_compiled_index
spent = {}
def timed(data_dir="data"):
    t, c = time.perf_counter(), time.process_time()
    write(data_dir)
    spent["wall"], spent["cpu"] = time.perf_counter() - t, time.process_time() - c
corvane.engine.write_compiled_index = timed
sys.stdout = open(os.devnull, "w")
t, c = time.perf_counter(), time.process_time()
rc = main(["index", "--data-dir", "data"])
total, total_cpu = time.perf_counter() - t, time.process_time() - c
sys.stdout = sys.__stdout__
if rc or "wall" not in spent or not os.path.exists("data/scene_index.cvx"):
    raise SystemExit(f"corvane index failed or wrote no compiled file (exit {rc})")
print(json.dumps({"total_seconds": total, "total_cpu_seconds": total_cpu, "compile_seconds": spent["wall"],
                  "compile_cpu_seconds": spent["cpu"], "index_seconds": total - spent["wall"],
                  "index_cpu_seconds": total_cpu - spent["cpu"], "share": spent["wall"] / total,
                  "peak_rss_kb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss}))
"""

CHILD_LOAD = r"""
import json, os, resource, sys, time
from corvane import farrowin
path = "data/scene_index.jsonl"
size = os.path.getsize(path)
best = best_ref = 1e9
for _ in range(int(sys.argv[1])):
    t = time.perf_counter(); entries = farrowin.load_scene_index(path); best = min(best, time.perf_counter() - t)
    t = time.perf_counter()
    with open(path, encoding="utf-8") as f:
        ref = [json.loads(line) for line in f]
    best_ref = min(best_ref, time.perf_counter() - t)
assert entries == ref
print(json.dumps({"bytes": size, "entries": len(entries), "seconds": best, "mb_per_s": size / best / 1e6,
                  "json_loads_seconds": best_ref, "json_loads_mb_per_s": size / best_ref / 1e6}))
"""

CHILD_SEARCH = r"""
import json, statistics, sys, time
from corvane import farrowin
entries = farrowin.load_scene_index("data/scene_index.jsonl")[:10000]
queries = [q for q in open(sys.argv[1], encoding="utf-8").read().splitlines() if q][:int(sys.argv[2])]
times, hits = [], 0
for q in queries:
    t = time.perf_counter()
    hits += bool(farrowin.search_knowledge_global(q, entries))
    times.append(time.perf_counter() - t)
print(json.dumps({"entries": len(entries), "queries": len(queries), "with_results": hits,
                  "median_ms": statistics.median(times) * 1e3, "p95_ms": sorted(times)[int(len(times) * .95)] * 1e3}))
"""


def child(script: str, cwd: Path, *args: str, env: dict | None = None) -> dict:
    proc = subprocess.run([sys.executable, "-c", script, *args], cwd=cwd, capture_output=True, text=True, check=False,
                          env=None if env is None else {**os.environ, **env})
    if proc.returncode != 0:
        raise SystemExit(f"benchmark step failed:\n{proc.stderr}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def prepare(size: int, corpus: Path | None, gen: Path | None, tmp: Path) -> Path:
    if corpus is None:
        if gen is None:
            raise SystemExit(f"no corpus for {size} scenes: give --corpus {size}=DIR or --gen-corpus")
        corpus = tmp / f"corpus{size}"
        subprocess.run([sys.executable, str(gen), "--out", str(corpus), "--scenes", str(size), "--seed", "7",
                        "--queries", "1000"], check=True, stdout=subprocess.DEVNULL)
    work = tmp / f"work{size}"
    (work / "data").mkdir(parents=True)
    os.symlink(corpus.resolve() / "manuals", work / "data" / "manuals")
    shutil.copy(corpus / "manual_alias.json", work / "data" / "manual_alias.json")
    if (corpus / "queries.txt").exists():
        shutil.copy(corpus / "queries.txt", work / "queries.txt")
    return work


def compare_threads(work: Path, md_bytes: int, counts: list[str], repeat: int) -> dict:
    runs: dict[str, list[dict]] = {c: [] for c in counts}
    for _ in range(repeat):
        for c in counts:
            runs[c].append(child(CHILD_THREADS, work, env={"CORVANE_INDEX_THREADS": c}))
    out = {}
    for c, rs in runs.items():
        walls = sorted(r["seconds"] for r in rs)
        out[c] = {"best_seconds": walls[0], "median_seconds": statistics.median(walls),
                  "all_seconds": [r["seconds"] for r in rs], "cpu_seconds": [r["cpu_seconds"] for r in rs],
                  "best_mb_per_s": md_bytes / walls[0] / 1e6,
                  "peak_rss_growth_kb": max(r["peak_rss_kb"] - r["rss_before_kb"] for r in rs)}
    first = out[counts[0]]
    for c in counts[1:]:
        out[c]["speedup_best"] = first["best_seconds"] / out[c]["best_seconds"]
        out[c]["speedup_median"] = first["median_seconds"] / out[c]["median_seconds"]
    return out


def compare_compiled(work: Path, repeat: int, pin: bool) -> dict:
    runs = [child(CHILD_COMPILED, work, "pin" if pin else "free") for _ in range(repeat)]
    best = min(runs, key=lambda r: r["total_seconds"])
    keys = ("total_seconds", "compile_seconds", "compile_cpu_seconds", "index_seconds", "share")
    return {"pinned": pin, "best_run": best,
            "median": {k: statistics.median(r[k] for r in runs) for k in keys},
            "all": [{k: round(r[k], 3) for k in keys} for r in runs]}


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", default="10000,100000", help="comma-separated scene counts")
    ap.add_argument("--corpus", action="append", default=[], metavar="SIZE=DIR", help="an existing corpus folder")
    ap.add_argument("--gen-corpus", type=Path, help="path of gen_corpus.py, to generate missing corpora")
    ap.add_argument("--repeat", type=int, default=3, help="runs per measurement (best is reported)")
    ap.add_argument("--queries", type=int, default=300, help="queries for the search median")
    ap.add_argument("--threads", help="comma-separated worker counts to compare (e.g. 1,2)")
    ap.add_argument("--compiled", action="store_true",
                    help="only `corvane index` whole: the compiled file's share of it")
    ap.add_argument("--pin", action="store_true", help="with --compiled: run on one CPU")
    ap.add_argument("--work", type=Path, help="with --compiled: a folder holding run<SIZE>/data (kept)")
    ap.add_argument("--threads-only", action="store_true", help="only the worker-count comparison")
    args = ap.parse_args()
    given = {int(k): Path(v) for k, v in (c.split("=", 1) for c in args.corpus)}
    results = {"python": sys.version.split()[0], "cpus": os.cpu_count(), "sizes": {}}
    with tempfile.TemporaryDirectory(prefix="bench-index-") as tmp_name:
        tmp = Path(tmp_name)
        for size in (int(s) for s in args.sizes.split(",")):
            if args.compiled:
                work = (args.work / f"run{size}" if args.work and (args.work / f"run{size}" / "data").is_dir()
                        else prepare(size, given.get(size), args.gen_corpus, tmp))
                results["sizes"][str(size)] = {"compiled": compare_compiled(work, args.repeat, args.pin)}
                continue
            work = prepare(size, given.get(size), args.gen_corpus, tmp)
            manuals = [p for p in (work / "data" / "manuals").iterdir() if p.suffix == ".md"]
            md_bytes = sum(p.stat().st_size for p in manuals)
            entry = {"manuals": len(manuals), "markdown_bytes": md_bytes}
            if args.threads:
                entry["threads"] = compare_threads(work, md_bytes, [c.strip() for c in args.threads.split(",")],
                                                   args.repeat)
            if args.threads_only:
                results["sizes"][str(size)] = entry
                continue
            run = child(CHILD_INDEX, work, str(args.repeat))
            entry |= {
                "largest_manual_bytes": max(p.stat().st_size for p in manuals),
                "index": {**run, "mb_per_s": md_bytes / run["seconds"] / 1e6,
                          "cpu_mb_per_s": md_bytes / run["cpu_seconds"] / 1e6,
                          "rss_growth_kb": run["peak_rss_kb"] - run["rss_before_kb"]},
                "output_bytes": (work / "data" / "scene_index.jsonl").stat().st_size
                + sum(p.stat().st_size for p in (work / "data" / "trees").iterdir()),
                "load_scene_index": child(CHILD_LOAD, work, str(args.repeat)),
            }
            if (work / "queries.txt").exists():
                entry["search_10k"] = child(CHILD_SEARCH, work, str(work / "queries.txt"), str(args.queries))
            results["sizes"][str(size)] = entry
    print(json.dumps(results, indent=2))


if __name__ == "__main__":
    main()
