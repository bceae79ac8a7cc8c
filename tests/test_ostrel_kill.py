"""An indexing run killed at any moment leaves the old index or the new one,
never a mix, and every tree file whole; the next successful run removes the
temporary files that killed runs left behind, and only those."""
from __future__ import annotations

import json
import os
import random
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

CORPUS = Path(__file__).parent / "data" / "corpus" / "manuals"
COPIES = 60  # of each corpus manual: a run takes about half a second
ROUNDS = 20
RUN = [sys.executable, "-c", "from corvane import ostrel; ostrel.ostrel_main()"]


def write_manuals(folder: Path, version: str) -> None:
    manuals = folder / "data" / "manuals"
    manuals.mkdir(parents=True, exist_ok=True)
    for src in sorted(CORPUS.glob("*.md")):
        text = src.read_text("utf-8")
        # The versions differ in every scene title of every manual.
        text = text.replace("\n## ", f"\n## {version}")
        for i in range(COPIES):
            (manuals / f"{src.stem}_{i:03d}.md").write_text(text, "utf-8")


def run_index(folder: Path) -> float:
    start = time.monotonic()
    subprocess.run(RUN, cwd=folder, check=True, stdout=subprocess.DEVNULL)
    return time.monotonic() - start


def snapshot(folder: Path) -> tuple[bytes, dict[str, bytes]]:
    data = folder / "data"
    trees = {p.name: p.read_bytes() for p in (data / "trees").glob("*.json")}
    return (data / "scene_index.jsonl").read_bytes(), trees


def temp_files(folder: Path) -> set[str]:
    return {p.name for d in (folder / "data", folder / "data" / "trees") for p in d.iterdir() if "tmp-" in p.name}


@pytest.fixture(scope="module")
def versions(tmp_path_factory):
    """The index and tree files of both manual versions, from uninterrupted runs."""
    out = {}
    for version in ("甲", "乙"):
        folder = tmp_path_factory.mktemp(f"ref{version}")
        write_manuals(folder, version)
        seconds = run_index(folder)
        out[version] = snapshot(folder)
    assert out["甲"][0] != out["乙"][0]
    return out, seconds


def test_killed_runs_leave_old_or_new_index(tmp_path, versions):
    refs, seconds = versions
    write_manuals(tmp_path, "甲")
    run_index(tmp_path)
    current = "甲"
    # Files that look alike but are not this builder's stale temporaries stay.
    data = tmp_path / "data"
    keep = {
        data / f".cvtmp-0123abcd-{os.getpid()}-0": b"a live writer's",
        data / ".cvtmp-0123abcd-1x-0": b"not the pattern",
        data / ".cvtmp-0123ABCD-999999999-0": b"not the pattern (hash)",
        data / "trees" / ".cvtmp-0123abcd-999999999": b"not the pattern (counter)",
        data / "trees" / ".notes.txt.tmp-999999999-3": b"not this system's name",
    }
    for path, content in keep.items():
        path.write_bytes(content)

    rng = random.Random(20240607)
    outcomes = []
    for _ in range(ROUNDS):
        target = "乙" if current == "甲" else "甲"
        write_manuals(tmp_path, target)
        proc = subprocess.Popen(RUN, cwd=tmp_path, stdout=subprocess.DEVNULL)
        time.sleep(rng.uniform(0.0, seconds * 1.5))
        proc.send_signal(signal.SIGKILL)
        proc.wait()
        index, trees = snapshot(tmp_path)
        assert index in (refs["甲"][0], refs["乙"][0]), "the index is a mix of two runs"
        for name, content in trees.items():
            assert content in (refs["甲"][1][name], refs["乙"][1][name]), f"tree file {name} is incomplete"
        current = "甲" if index == refs["甲"][0] else "乙"
        outcomes.append((proc.returncode, current == target))
    assert any(not finished for _, finished in outcomes), "no run was killed before it finished"

    run_index(tmp_path)
    assert snapshot(tmp_path) == refs[target]
    assert temp_files(tmp_path) == {p.name for p in keep}
    for path, content in keep.items():
        assert path.read_bytes() == content


def test_stale_temporaries_removed_when_no_manual_is_left(tmp_path):
    (tmp_path / "data" / "trees").mkdir(parents=True)
    stale = [tmp_path / "data" / ".cvtmp-5e1ec7ed-999999999-7",
             tmp_path / "data" / "trees" / ".cvtmp-00000000-999999999-0"]
    for path in stale:
        path.write_bytes(b"{")
    run_index(tmp_path)
    assert temp_files(tmp_path) == set()
    assert not (tmp_path / "data" / "scene_index.jsonl").exists()
