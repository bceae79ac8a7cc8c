"""Temporary files of the indexing run: names that fit whatever the manual's
name, and leftovers of killed runs swept at the start of a run, whether or
not the run then succeeds."""
from __future__ import annotations

import os

import pytest

from corvane import farrowin, ostrel

MANUAL = "# 手册\n## 更换轮胎\n### 操作步骤\n1. 拧紧螺栓\n"
DEAD = 999_999_999  # above any pid_max: no such process


def write_manual(workdir, name, content: str | bytes = MANUAL):
    folder = workdir / "data" / "manuals"
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(content.encode("utf-8") if isinstance(content, str) else content)


def test_manual_names_up_to_the_file_name_limit(workdir, capsys):
    # The tree file's name is the manual's stem + ".json": 250 bytes of stem
    # give a 255-byte name, the longest a folder entry may have.
    stems = [c * n for c, n in zip("abcdefg", (240, 246, 247, 248, 249, 250))] + ["轮" * 83]  # 249 bytes
    for stem in stems:
        write_manual(workdir, stem + ".md")
    ostrel.ostrel_main()
    trees = {p.name for p in (workdir / "data" / "trees").iterdir()}
    assert trees == {stem + ".json" for stem in stems}
    entries = farrowin.load_scene_index("data/scene_index.jsonl")
    assert sorted(e["manual_id"] for e in entries) == sorted(stems)
    assert not [n for n in os.listdir(workdir / "data") if n.startswith(".")]


@pytest.mark.parametrize("manual", [MANUAL.encode("utf-8"), b"# \xff\n"], ids=["run-succeeds", "run-fails"])
def test_stale_temporaries_swept_at_the_start_of_a_run(workdir, capsys, manual):
    write_manual(workdir, "a.md")
    ostrel.ostrel_main()
    index = (workdir / "data" / "scene_index.jsonl").read_bytes()
    stale = [workdir / "data" / f".cvtmp-0123abcd-{DEAD}-3", workdir / "data" / "trees" / f".cvtmp-89abcdef-{DEAD}-0"]
    live = workdir / "data" / f".cvtmp-0123abcd-{os.getppid()}-1"  # a running process's
    for path in stale + [live]:
        path.write_bytes(b"{")
    write_manual(workdir, "b.md", manual)
    if manual.startswith(b"# \xff"):
        with pytest.raises(UnicodeDecodeError):
            ostrel.ostrel_main()
        assert (workdir / "data" / "scene_index.jsonl").read_bytes() == index
    else:
        ostrel.ostrel_main()
    assert not any(p.exists() for p in stale)
    assert live.exists()
