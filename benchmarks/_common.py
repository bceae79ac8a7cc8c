"""Helpers shared by the benchmark scripts."""
from __future__ import annotations

import json
import os
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
CORPUS_DEFAULT = ROOT / "tests" / "data" / "corpus" / "manuals"


def generate_corpus(generator: str, out: Path, scenes: int, seed: int = 7, queries: int = 0) -> Path:
    """Runs the synthetic corpus generator once; reuses an existing output folder."""
    if not (out / "manuals").is_dir():
        cmd = [sys.executable, generator, "--out", str(out), "--scenes", str(scenes), "--seed", str(seed)]
        if queries:
            cmd += ["--queries", str(queries)]
        subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
    return out


def prepare_run(generator: str, work: Path, scenes: int, name: str = "run") -> Path:
    """A working folder work/<name><scenes> whose data/ holds the generated manuals (linked), the alias
    file and, beside data/, the query file; the corpus is generated once per size."""
    corpus = generate_corpus(generator, work / f"gen{scenes}", scenes, queries=2000)
    run = work / f"{name}{scenes}"
    (run / "data").mkdir(parents=True, exist_ok=True)
    manuals = run / "data" / "manuals"
    if not manuals.exists():
        manuals.symlink_to((corpus / "manuals").resolve())
    shutil.copy(corpus / "manual_alias.json", run / "data" / "manual_alias.json")
    shutil.copy(corpus / "queries.txt", run / "queries.txt")
    return run


def build_core_bench() -> Path:
    """Configures and builds the C++ benchmark driver under build/bench."""
    build = ROOT / "build" / "bench"
    exe = build / "core_bench"
    subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build), "-DCORVANE_BENCH=ON", "-DCMAKE_BUILD_TYPE=Release",
                    f"-DPython_EXECUTABLE={sys.executable}"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(build), "--target", "core_bench", "-j2"], check=True,
                   stdout=subprocess.DEVNULL)
    return exe


def pin_to_one_core() -> int:
    """Restricts this process (and its future children) to one CPU; returns it."""
    cpu = min(os.sched_getaffinity(0))
    os.sched_setaffinity(0, {cpu})
    return cpu


def timed(fn, repeats: int) -> list[float]:
    out = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        out.append(time.perf_counter() - t0)
    return out


def median(xs):
    return statistics.median(xs)


def percentile(xs, p):
    xs = sorted(xs)
    return xs[min(len(xs) - 1, int(round(p / 100 * (len(xs) - 1))))]


def emit(result: dict) -> None:
    print(json.dumps(result, ensure_ascii=False, indent=2))
