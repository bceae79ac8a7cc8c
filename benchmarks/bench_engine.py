"""corvane's query paths beside two general search libraries, on the same corpus.

  python benchmarks/bench_engine.py --generator path/to/gen_corpus.py [--sizes 10000,100000]
                                    [--work DIR] [--queries 1000] [--ask-runs 5]

(the peers come with the `bench` extra: pip install -e '.[bench]').

For each size it generates a synthetic corpus (seed 7, with queries), indexes
it with `corvane index`, builds a tantivy index and a bm25s index over the
same scene texts (title, aliases, keywords and the scene's own text; Chinese
is cut into character bigrams, the same tokens for both peers), then measures
each system in a fresh interpreter pinned to one CPU, after an unmeasured run
that warms the page cache:

  engine   corvane.engine.Engine(data_dir="data") and Engine.search(q, 3)
  hybrid   the same with ranker="hybrid" (title/alias stage, then BM25 top-k over blocks)
  jsonl    farrowin.load_scene_index + compile_scene_index (what importing
           corvane.delmoor does) and CompiledSceneIndex.search(q, 3)
  tantivy  Index.open on its folder, searcher.search(parse_query(q), 3) and the hits' stored ids
  bm25s    BM25.load(mmap=True) and retrieve([tokens], k=3)

Figures: open time, private memory (Anonymous and Private_Dirty of
/proc/self/smaps_rollup after opening and the queries; pages of mapped files
do not count), query latency median and p99, and the wall time of
`corvane ask QUESTION` (a whole process).  Ratios are corvane's figure over
the peer's: below 1 means corvane is faster or smaller.
"""
from __future__ import annotations

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from _common import emit, median, percentile, pin_to_one_core, prepare_run

HERE = Path(__file__).resolve()
SYSTEMS = ("engine", "hybrid", "jsonl", "tantivy", "bm25s")
PEERS = ("tantivy", "bm25s")
WARM_QUERIES = 20

# ---------------------------------------------------------------------------
# Scene texts and tokens shared by the peers.

_RUNS = re.compile(r"[\u3400-\u4dbf\u4e00-\u9fff\uf900-\ufaff]+|[0-9a-z]+")


def tokens(text: str) -> list[str]:
    """Character bigrams of each run of Chinese characters (a lone character
    stands for itself); ASCII words and numbers whole."""
    out: list[str] = []
    for run in _RUNS.findall(text.lower()):
        if run[0].isascii():
            out.append(run)
        elif len(run) == 1:
            out.append(run)
        else:
            out.extend(run[i:i + 2] for i in range(len(run) - 1))
    return out


def scene_text(entry: dict) -> str:
    parts = [entry.get("scene_title", ""), *entry.get("aliases", []), *entry.get("keywords", [])]
    scene = entry.get("scene_data") or {}
    parts.append(scene.get("description", ""))
    for step in scene.get("steps", []):
        parts.append(step.get("text", ""))
        parts.extend(step.get("sub_points", []))
    for key in ("warning", "notice", "tip"):
        parts.extend(scene.get(key, []))
    return "\n".join(p for p in parts if isinstance(p, str))


def read_queries(path: Path, n: int) -> list[str]:
    qs = [q for q in path.read_text(encoding="utf-8").splitlines() if q.strip()]
    return [qs[i % len(qs)] for i in range(n)] if qs else []


# ---------------------------------------------------------------------------
# Children: each runs in its own interpreter, in the run folder.

def memory() -> dict:
    """Anonymous and Private_Dirty memory of this process, in MB."""
    out = {}
    with open("/proc/self/smaps_rollup", encoding="ascii") as f:
        for line in f:
            name, _, rest = line.partition(":")
            if name in ("Rss", "Anonymous", "Private_Dirty"):
                out[name.lower()] = int(rest.split()[0]) / 1024
    return out


def opener(system: str):
    """(open() -> handle, search(handle, query) -> hits) for a system."""
    if system in ("engine", "hybrid"):
        from corvane.engine import Engine

        ranker = "exact" if system == "engine" else "hybrid"
        return (lambda: Engine(data_dir="data", ranker=ranker)), (lambda eng, q: eng.search(q, 3))
    if system == "jsonl":
        from corvane import farrowin

        def open_jsonl():
            return farrowin.compile_scene_index(farrowin.load_scene_index("data/scene_index.jsonl"))

        return open_jsonl, (lambda idx, q: idx.search(q, 3))
    if system == "tantivy":
        import tantivy

        def open_tantivy():
            index = tantivy.Index.open("peers/tantivy")
            return index, index.searcher()

        def search_tantivy(handle, q):
            index, searcher = handle
            terms = tokens(q)
            if not terms:
                return []
            hits = searcher.search(index.parse_query(" ".join(terms), ["body"]), 3).hits
            return [(searcher.doc(addr)["id"][0], score) for score, addr in hits]

        return open_tantivy, search_tantivy
    if system == "bm25s":
        import bm25s

        def search_bm25s(retriever, q):
            known = [t for t in tokens(q) if t in retriever.vocab_dict]
            if not known:
                return []
            docs, scores = retriever.retrieve([known], k=3, show_progress=False, n_threads=1)
            return list(zip(docs[0].tolist(), scores[0].tolist()))

        return (lambda: bm25s.BM25.load("peers/bm25s", mmap=True, show_progress=False)), search_bm25s
    raise ValueError(system)


def child_measure(system: str, queries_file: str, n: int) -> dict:
    pin_to_one_core()
    t0 = time.perf_counter()
    try:
        open_fn, search = opener(system)
    except ImportError as e:
        return {"skipped": f"not importable: {e}"}
    import_ms = (time.perf_counter() - t0) * 1000
    queries = read_queries(Path(queries_file), n)
    before = memory()
    t0 = time.perf_counter()
    handle = open_fn()
    open_ms = (time.perf_counter() - t0) * 1000
    opened = memory()
    t0 = time.perf_counter()
    search(handle, queries[0])
    first_ms = (time.perf_counter() - t0) * 1000
    for q in queries[:WARM_QUERIES]:
        search(handle, q)
    lat = []
    hits = 0
    cpu0 = time.process_time()
    for q in queries:
        t0 = time.perf_counter_ns()
        got = search(handle, q)
        lat.append((time.perf_counter_ns() - t0) / 1000)
        hits += bool(got)
    cpu_us = (time.process_time() - cpu0) * 1e6 / max(1, len(queries))
    after = memory()
    out = {"import_ms": import_ms, "open_ms": open_ms, "first_query_ms": first_ms,
           "median_us": median(lat), "p99_us": percentile(lat, 99), "queries": len(lat),
           "mean_cpu_us": cpu_us, "mean_wall_us": sum(lat) / max(1, len(lat)),
           "queries_with_hits": hits,
           "anonymous_mb": after["anonymous"], "private_dirty_mb": after["private_dirty"],
           "anonymous_mb_before_open": before["anonymous"], "anonymous_mb_after_open": opened["anonymous"],
           "rss_mb": after["rss"]}
    if system in ("engine", "hybrid") and hasattr(handle, "info"):
        out["info"] = {k: v for k, v in handle.info().items() if k in ("entries", "compiled_file", "ranker")}
    return out


def evict(path: str) -> None:
    """Drops a file's clean pages from the page cache."""
    fd = os.open(path, os.O_RDONLY)
    try:
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    finally:
        os.close(fd)


def resident_mb(path: str) -> float:
    """MB of a file's pages in the page cache (mincore over a mapping)."""
    import ctypes
    import mmap

    size = os.path.getsize(path)
    if size == 0:
        return 0.0
    libc = ctypes.CDLL(None, use_errno=True)
    libc.mmap.restype = ctypes.c_void_p
    libc.mmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_long]
    libc.mincore.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p]
    libc.munmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
    fd = os.open(path, os.O_RDONLY)
    try:
        addr = libc.mmap(None, size, mmap.PROT_READ, mmap.MAP_SHARED, fd, 0)
        page = mmap.PAGESIZE
        vec = (ctypes.c_ubyte * ((size + page - 1) // page))()
        try:
            if libc.mincore(addr, size, vec) != 0:
                return float("nan")
        finally:
            libc.munmap(addr, size)
        return sum(v & 1 for v in vec) * page / 1e6
    finally:
        os.close(fd)


def child_cold(queries_file: str) -> dict:
    """A process with the compiled file out of the page cache: open, one hybrid question."""
    pin_to_one_core()
    cvx = "data/scene_index.cvx"
    q = read_queries(Path(queries_file), 1)[0]
    t0 = time.perf_counter()
    from corvane.engine import Engine

    import_ms = (time.perf_counter() - t0) * 1000
    evict(cvx)
    before = resident_mb(cvx)
    t0 = time.perf_counter()
    c0 = time.process_time()
    eng = Engine(data_dir="data", ranker="hybrid")
    eng.search(q, 3)
    ms = (time.perf_counter() - t0) * 1000
    cpu_ms = (time.process_time() - c0) * 1000
    return {"open_and_first_hybrid_ms": ms, "open_and_first_hybrid_cpu_ms": cpu_ms, "import_ms": import_ms,
            "compiled_file_pages_mb": resident_mb(cvx) - before}


def child_build_peers(wanted: list[str]) -> dict:
    """Builds the wanted peers' indexes (tantivy, bm25s) of data/scene_index.jsonl under peers/.
    tantivy gets the documents one line at a time (a 1M index holds 3 GB of lines); bm25s
    needs them all at once."""
    shutil.rmtree("peers", ignore_errors=True)
    os.makedirs("peers/tantivy")
    out = {}

    def docs():
        with open("data/scene_index.jsonl", encoding="utf-8") as f:
            for line in f:
                if line.strip():
                    yield tokens(scene_text(json.loads(line)))

    if "tantivy" in wanted:
        import tantivy

        t0 = time.perf_counter()
        builder = tantivy.SchemaBuilder()
        builder.add_text_field("body", stored=False, tokenizer_name="whitespace")
        builder.add_integer_field("id", stored=True, indexed=False)
        index = tantivy.Index(builder.build(), path="peers/tantivy")
        writer = index.writer(heap_size=200_000_000, num_threads=1)
        n = 0
        for i, toks in enumerate(docs()):
            writer.add_document(tantivy.Document(body=" ".join(toks), id=i))
            n += 1
        writer.commit()
        writer.wait_merging_threads()
        out["tantivy_build_s"] = time.perf_counter() - t0
        out["documents"] = n
    if "bm25s" in wanted:
        import bm25s

        t0 = time.perf_counter()
        all_docs = list(docs())
        retriever = bm25s.BM25()
        retriever.index(all_docs, show_progress=False)
        retriever.save("peers/bm25s", show_progress=False)
        out["bm25s_build_s"] = time.perf_counter() - t0
        out["documents"] = len(all_docs)
    return out


def child_main(argv: list[str]) -> None:
    what = argv[0]
    if what == "measure":
        result = child_measure(argv[1], argv[2], int(argv[3]))
    elif what == "cold":
        result = child_cold(argv[1])
    elif what == "build-peers":
        result = child_build_peers(argv[1].split(",") if len(argv) > 1 else list(PEERS))
    else:
        raise SystemExit(f"unknown child {what}")
    print(json.dumps(result))


# ---------------------------------------------------------------------------
# The parent.

def child(cwd: Path, *args: str) -> dict:
    proc = subprocess.run([sys.executable, str(HERE), "--child", *args], cwd=cwd, capture_output=True, text=True,
                          check=False)
    if proc.returncode != 0:
        return {"error": proc.stderr.strip().splitlines()[-1] if proc.stderr.strip() else f"exit {proc.returncode}"}
    return json.loads(proc.stdout.strip().splitlines()[-1])


def corvane_cmd() -> list[str]:
    script = Path(sys.executable).with_name("corvane")
    return [str(script)] if script.exists() else [sys.executable, "-m", "corvane"]



def stamp(path: Path) -> str:
    st = path.stat()
    return f"{st.st_size}:{st.st_mtime_ns}"


def build(run: Path, peers: list[str]) -> dict:
    """Indexes the corpus with corvane, then builds the peers (reused while the index is unchanged)."""
    out = {}
    index = run / "data" / "scene_index.jsonl"
    if not index.exists():
        t0 = time.perf_counter()
        subprocess.run(corvane_cmd() + ["index"], cwd=run, check=True, stdout=subprocess.DEVNULL)
        out["corvane_index_s"] = time.perf_counter() - t0
    done = run / "peers" / "built-from"
    want = stamp(index) + " " + ",".join(peers)
    if peers and (not done.exists() or done.read_text() != want):
        out.update(child(run, "build-peers", ",".join(peers)))
        if "error" not in out:
            done.write_text(want)
    out["index_mb"] = index.stat().st_size / 1e6
    cvx = run / "data" / "scene_index.cvx"
    out["compiled_file_mb"] = cvx.stat().st_size / 1e6 if cvx.exists() else None
    peer = run / "peers" / "tantivy"
    if peer.exists():
        out["tantivy_index_mb"] = sum(f.stat().st_size for f in peer.rglob("*") if f.is_file()) / 1e6
        if out["compiled_file_mb"]:
            out["compiled_file/tantivy"] = out["compiled_file_mb"] / out["tantivy_index_mb"]
    return out


def run_child(cmd: list[str], cwd: Path) -> tuple[int, float, float, float, str]:
    """(exit status, wall ms, CPU ms (user + system), max RSS MB, stderr) of a whole child
    process, pinned to this process's first CPU."""
    cpu = min(os.sched_getaffinity(0))
    with tempfile.TemporaryFile() as err:
        t0 = time.perf_counter()
        proc = subprocess.Popen(cmd, cwd=cwd, stdout=subprocess.DEVNULL, stderr=err,
                                preexec_fn=lambda: os.sched_setaffinity(0, {cpu}))
        _, status, use = os.wait4(proc.pid, 0)
        wall = (time.perf_counter() - t0) * 1000
        proc.returncode = os.waitstatus_to_exitcode(status)
        err.seek(0)
        text = err.read().decode("utf-8", "replace")
    return proc.returncode, wall, (use.ru_utime + use.ru_stime) * 1000, use.ru_maxrss / 1024, text


def ask_wall(run: Path, queries: list[str], runs: int) -> dict:
    """`corvane ask QUESTION` as a whole process: wall and CPU time, max RSS (the compiled file
    in the page cache: one unmeasured run first)."""
    walls, cpus, rss = [], [], []
    run_child(corvane_cmd() + ["ask", queries[0]], run)
    for q in queries[:runs]:
        code, wall, cpu, maxrss, err = run_child(corvane_cmd() + ["ask", q], run)
        if code != 0:
            return {"error": err.strip()[-500:]}
        walls.append(wall)
        cpus.append(cpu)
        rss.append(maxrss)
    _, startup, startup_cpu, startup_rss, _ = run_child([sys.executable, "-c", "pass"], run)
    return {"median_ms": median(walls), "max_ms": max(walls), "median_cpu_ms": median(cpus),
            "max_rss_mb": max(rss), "runs": len(walls), "python_startup_ms": startup,
            "python_startup_cpu_ms": startup_cpu, "python_startup_rss_mb": startup_rss}


def ratios(systems: dict) -> dict:
    out = {}
    pairs = {"open": "open_ms", "anonymous_memory": "anonymous_mb", "median": "median_us", "p99": "p99_us"}
    for ours in ("engine", "hybrid", "jsonl"):
        for peer in PEERS:
            a, b = systems.get(ours, {}), systems.get(peer, {})
            if "open_ms" in a and "open_ms" in b:
                out[f"{ours}/{peer}"] = {k: round(a[f] / b[f], 3) if b[f] else None for k, f in pairs.items()}
    return out


def rounded(d):
    if isinstance(d, dict):
        return {k: rounded(v) for k, v in d.items()}
    return round(d, 3) if isinstance(d, float) else d


def main() -> None:
    if "--child" in sys.argv:
        child_main(sys.argv[sys.argv.index("--child") + 1:])
        return
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--generator", required=True, help="path of gen_corpus.py")
    ap.add_argument("--sizes", default="10000")
    ap.add_argument("--work", type=Path, help="folder for corpora, indexes and runs (default: a temporary folder)")
    ap.add_argument("--queries", type=int, default=1000, help="measured queries per system")
    ap.add_argument("--ask-runs", type=int, default=5)
    ap.add_argument("--systems", default=",".join(SYSTEMS))
    ap.add_argument("--rounds", type=int, default=1,
                    help="measure each system this many times (alternating); the round with the lowest median counts")
    ap.add_argument("--table", action="store_true", help="also print a Markdown table of the figures on stderr")
    args = ap.parse_args()
    work = args.work or Path(tempfile.mkdtemp(prefix="corvane-bench-engine-"))
    systems_wanted = [s for s in args.systems.split(",") if s]
    result = {"python": sys.version.split()[0], "sizes": {}}
    for n in [int(s) for s in args.sizes.split(",") if s]:
        run = prepare_run(args.generator, work, n, "engine")
        row = {"build": build(run, [p for p in PEERS if p in systems_wanted]), "systems": {}}
        for system in systems_wanted:
            # An unmeasured run of the same questions: the pages their searches and records read are in
            # the page cache then (a 1M index's 3 GB of lines are not, after a few questions).
            child(run, "measure", system, "queries.txt", str(args.queries))
        rounds: dict[str, list] = {s: [] for s in systems_wanted}
        for _ in range(args.rounds):  # systems alternate within a round, so load from other work hits all
            for system in systems_wanted:
                rounds[system].append(child(run, "measure", system, "queries.txt", str(args.queries)))
        for system, got in rounds.items():
            ok = [g for g in got if "median_us" in g]
            best = min(ok, key=lambda g: g["median_us"]) if ok else got[0]
            if len(ok) > 1:
                best = dict(best, rounds=len(ok), median_us_all=[g["median_us"] for g in ok],
                            p99_us_all=[g["p99_us"] for g in ok])
            row["systems"][system] = best
        colds = [child(run, "cold", "queries.txt") for _ in range(args.rounds)]
        ok = [c for c in colds if "open_and_first_hybrid_ms" in c]
        row["cold"] = min(ok, key=lambda c: c["open_and_first_hybrid_ms"]) if ok else colds[0]
        if len(ok) > 1:
            row["cold"]["all_ms"] = [c["open_and_first_hybrid_ms"] for c in ok]
        row["ask"] = ask_wall(run, read_queries(run / "queries.txt", args.ask_runs), args.ask_runs)
        row["ratios"] = ratios(row["systems"])
        result["sizes"][n] = rounded(row)
        print(f"{n} scenes done", file=sys.stderr)
    if not args.work:
        shutil.rmtree(work, ignore_errors=True)
    emit(result)
    if args.table:
        print(table(result), file=sys.stderr)


def table(result: dict) -> str:
    """The figures of every size as a Markdown table: corvane's rows, then the peers'."""
    sizes = list(result["sizes"])

    def cell(n, *path, fmt="{:,.1f}"):
        d = result["sizes"][n]
        for k in path:
            if not isinstance(d, dict) or k not in d:
                return ""
            d = d[k]
        return fmt.format(d) if isinstance(d, (int, float)) and d is not None else ""

    def pair(n, system, a, b, fmt="{:,.0f}"):
        x, y = cell(n, "systems", system, a, fmt=fmt), cell(n, "systems", system, b, fmt=fmt)
        return f"{x} / {y}" if x else ""

    rows = [
        ("compiled file / tantivy index, MB",
         lambda n: f"{cell(n, 'build', 'compiled_file_mb')} / {cell(n, 'build', 'tantivy_index_mb')} "
                   f"({cell(n, 'build', 'compiled_file/tantivy', fmt='{:.2f}')}x)"),
        ("`corvane index`, s", lambda n: cell(n, "build", "corvane_index_s", fmt="{:.2f}")),
        ("cold process: open + first fused question, ms (CPU ms)",
         lambda n: f"{cell(n, 'cold', 'open_and_first_hybrid_ms')} ({cell(n, 'cold', 'open_and_first_hybrid_cpu_ms')})"),
        ("compiled-file pages it touched, MB", lambda n: cell(n, "cold", "compiled_file_pages_mb", fmt="{:.2f}")),
        ("`Engine(...)` open, ms: exact / fused",
         lambda n: f"{cell(n, 'systems', 'engine', 'open_ms', fmt='{:.2f}')} / {cell(n, 'systems', 'hybrid', 'open_ms', fmt='{:.2f}')}"),
        ("tantivy open, ms", lambda n: cell(n, "systems", "tantivy", "open_ms", fmt="{:.2f}")),
        ("warm exact median / p99, µs", lambda n: pair(n, "engine", "median_us", "p99_us")),
        ("warm fused median / p99, µs", lambda n: pair(n, "hybrid", "median_us", "p99_us")),
        ("warm tantivy median / p99, µs", lambda n: pair(n, "tantivy", "median_us", "p99_us")),
        ("fused / tantivy median", lambda n: cell(n, "ratios", "hybrid/tantivy", "median", fmt="{:.2f}")),
        ("mean CPU per question, µs: exact / fused / tantivy",
         lambda n: " / ".join(cell(n, "systems", s, "mean_cpu_us", fmt="{:,.0f}") for s in ("engine", "hybrid", "tantivy"))),
        ("`corvane ask` wall median / max, ms",
         lambda n: f"{cell(n, 'ask', 'median_ms', fmt='{:,.0f}')} / {cell(n, 'ask', 'max_ms', fmt='{:,.0f}')}"),
        ("`corvane ask` CPU ms, max RSS MB",
         lambda n: f"{cell(n, 'ask', 'median_cpu_ms', fmt='{:,.0f}')}, {cell(n, 'ask', 'max_rss_mb', fmt='{:.1f}')}"),
        ("`python -c pass` wall / CPU ms, RSS MB",
         lambda n: f"{cell(n, 'ask', 'python_startup_ms', fmt='{:,.0f}')} / {cell(n, 'ask', 'python_startup_cpu_ms', fmt='{:,.0f}')}, "
                   f"{cell(n, 'ask', 'python_startup_rss_mb', fmt='{:.1f}')}"),
    ]
    out = ["| | " + " | ".join(f"{int(n):,}" for n in sizes) + " |", "|---|" + "---|" * len(sizes)]
    for name, fn in rows:
        out.append(f"| {name} | " + " | ".join(fn(n) for n in sizes) + " |")
    return "\n".join(out)


if __name__ == "__main__":
    main()
