"""Parse throughput of markdown_to_tree, in MB/s of Markdown.

  python benchmarks/bench_plaxon.py [--corpus DIR] [--generator gen_corpus.py] [--scenes 10000]

Measures the core parse alone (C++ driver, no Python objects) and the Python
call including conversion of the result to dicts, over the bundled sample
corpus and, when a generator script is given, a synthetic corpus.
Targets: core parse >= 200 MB/s, with conversion >= 50 MB/s (one core: the
process pins itself to one CPU after building the driver).
"""
from __future__ import annotations

import argparse
import json
import subprocess
import tempfile
from pathlib import Path

from _common import CORPUS_DEFAULT, build_core_bench, emit, generate_corpus, pin_to_one_core, timed

from corvane import plaxon


def measure(files: list[Path], exe: Path | None, repeats: int) -> dict:
    texts = [f.read_text(encoding="utf-8") for f in files]
    size = sum(len(t.encode("utf-8")) for t in texts)
    best = min(timed(lambda: [plaxon.markdown_to_tree(t) for t in texts], repeats))
    out = {"files": len(files), "mb": round(size / 1e6, 2), "with_conversion_mb_s": round(size / best / 1e6, 1)}
    if exe:
        core = json.loads(subprocess.run([str(exe), "parse", str(repeats)] + [str(f) for f in files],
                                         check=True, capture_output=True, text=True).stdout)
        out["core_parse_mb_s"] = core["mb_per_s"]
        out["core_parse_cpu_mb_s"] = core["cpu_mb_per_s"]
        out["scenes"] = core["scenes"]
    return out


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--corpus", type=Path, default=CORPUS_DEFAULT, help="folder of .md manuals")
    ap.add_argument("--generator", help="path of gen_corpus.py for the synthetic corpus")
    ap.add_argument("--scenes", type=int, default=10000)
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--no-core", action="store_true", help="skip building the C++ driver")
    args = ap.parse_args()
    exe = None if args.no_core else build_core_bench()
    cpu = pin_to_one_core()  # after the build; the driver inherits the affinity
    result = {"benchmark": "markdown_to_tree", "cpu": cpu,
              "targets": {"core_parse_mb_s": 200, "with_conversion_mb_s": 50}}
    if args.corpus.is_dir():
        result["sample_corpus"] = measure(sorted(args.corpus.glob("*.md")), exe, args.repeats)
    if args.generator:
        with tempfile.TemporaryDirectory() as tmp:
            out = generate_corpus(args.generator, Path(tmp) / "gen", args.scenes)
            result[f"synthetic_{args.scenes}"] = measure(sorted((out / "manuals").glob("*.md")), exe, args.repeats)
    emit(result)


if __name__ == "__main__":
    main()
