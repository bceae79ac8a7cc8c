#!/usr/bin/env python3
"""Hybrid ranker figures, printed as JSON.

For each corpus size: the time of `corvane index` (ostrel_main), the time to
compile the hybrid ranker over the loaded index (target: at most 30% of the
index build), its memory, and the latency of HybridIndex.search(q, 5) over the
generator's queries -- median and p99, target median <= 150 us and p99 <= 1 ms
at 100,000 scenes -- next to the compiled exact search, the two-stage cascade
(fused=False), and the engine's fused search over the compiled file (heading
paths included; the core call, no records parsed), plain and with homophone
typos; and the time to write the compiled file.  Each size runs in its own
subprocess pinned to one CPU.

Corpora come from --corpus SIZE=DIR (a folder with manuals/, manual_alias.json
and queries.txt) or are generated with --gen-corpus PATH_TO_gen_corpus.py:

  python benchmarks/bench_hybrid.py --gen-corpus .../gen_corpus.py --sizes 10000,100000
"""
from __future__ import annotations

import argparse
import json
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_index import prepare  # noqa: E402

CHILD = r"""
import contextlib, io, json, os, statistics, sys, time
os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
from corvane import ostrel, farrowin, _hybrid
with contextlib.redirect_stdout(io.StringIO()):
    t = time.perf_counter(); ostrel.ostrel_main(); index_s = time.perf_counter() - t
t = time.perf_counter(); entries = farrowin.load_scene_index("data/scene_index.jsonl"); load_s = time.perf_counter() - t
t = time.perf_counter(); h = _hybrid.HybridIndex(entries); hybrid_s = time.perf_counter() - t
t = time.perf_counter(); exact = farrowin.compile_scene_index(entries); exact_s = time.perf_counter() - t
queries = [q for q in open("queries.txt", encoding="utf-8").read().splitlines() if q]
rounds = max(1, int(sys.argv[1]) // max(1, len(queries)))
def lat(fn):
    # Wall time, and the thread's CPU time: on a shared machine a search that
    # is preempted takes a whole scheduler tick of wall time.
    for q in queries[:50]:
        fn(q, 5)
    out, cpu = [], []
    for _ in range(rounds):
        for q in queries:
            t, c = time.perf_counter(), time.thread_time()
            fn(q, 5)
            cpu.append(time.thread_time() - c)
            out.append(time.perf_counter() - t)
    out.sort()
    cpu.sort()
    pick = lambda xs, p: xs[int(p * (len(xs) - 1))] * 1e6
    return {"median_us": statistics.median(out) * 1e6, "p99_us": pick(out, 0.99), "max_us": out[-1] * 1e6,
            "cpu_median_us": statistics.median(cpu) * 1e6, "cpu_p99_us": pick(cpu, 0.99), "searches": len(out)}
hy = lat(h.search)
ex = lat(exact.search)
t = time.perf_counter(); cas = _hybrid.HybridIndex(entries, fused=False); cascade_s = time.perf_counter() - t
ca = lat(cas.search)
# The engine's fused ranker over the compiled file (heading paths included),
# core call only: (entry id, score) pairs, no records parsed.
from corvane.engine import Engine, write_compiled_index
t = time.perf_counter(); write_compiled_index("data"); cvx_s = time.perf_counter() - t
eng = Engine("data", ranker="hybrid")
snap = eng._current(); syn = eng._synonyms_of(snap)
en = lat(lambda q, k: snap.index.search_hybrid(q, k, syn))
typo = lat(lambda q, k: snap.index.search_hybrid(q.replace("胎", "台").replace("压", "亚"), k, syn))
refused = sum(not h.search(q, 5) for q in queries)
print(json.dumps({"scenes": len(entries), "index_build_s": index_s, "load_s": load_s,
                  "hybrid_compile_s": hybrid_s, "hybrid_compile_share_of_index": hybrid_s / index_s,
                  "hybrid_memory_mb": h.memory_bytes / 1e6, "bm25_section_mb": len(h.bm25_bytes()) / 1e6,
                  "exact_compile_s": exact_s, "hybrid_search": hy, "exact_search": ex,
                  "cascade_compile_s": cascade_s, "cascade_search": ca, "compiled_file_write_s": cvx_s,
                  "compiled_file_write_share_of_index": cvx_s / index_s,
                  "engine_fused_search": en, "engine_fused_search_with_typos": typo,
                  "queries": len(queries), "hybrid_refused": refused}))
"""


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", default="10000,100000", help="comma-separated scene counts")
    ap.add_argument("--corpus", action="append", default=[], metavar="SIZE=DIR", help="an existing corpus folder")
    ap.add_argument("--gen-corpus", type=Path, help="path of gen_corpus.py, to generate missing corpora")
    ap.add_argument("--searches", type=int, default=5000, help="searches timed per ranker")
    args = ap.parse_args()
    given = {int(k): Path(v) for k, v in (c.split("=", 1) for c in args.corpus)}
    results = []
    with tempfile.TemporaryDirectory(prefix="corvane-bench-hybrid-") as tmp:
        for size in (int(s) for s in args.sizes.split(",")):
            work = prepare(size, given.get(size), args.gen_corpus, Path(tmp))
            proc = subprocess.run([sys.executable, "-c", CHILD, str(args.searches)], cwd=work, capture_output=True,
                                  text=True, check=False)
            if proc.returncode != 0:
                raise SystemExit(f"benchmark failed for {size} scenes:\n{proc.stderr}")
            results.append(json.loads(proc.stdout.strip().splitlines()[-1]))
            print(json.dumps(results[-1]), file=sys.stderr)
    print(json.dumps({"hybrid": results}, indent=2))


if __name__ == "__main__":
    main()
