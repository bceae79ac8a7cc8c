"""The prompt file of the self-check loop: replaced atomically with the same
temporary-name scheme as the index run, stale temporaries of killed
self-checks swept, and a writable file in a read-only folder rewritten in
place."""
from __future__ import annotations

import asyncio
import os
import subprocess
import sys
from pathlib import Path


from corvane import vendry
from subproc import without_root_powers
from vendry_fakes import install

ANSWER = {"answer": "a", "reason": "r"}
REWRITE = [ANSWER, {"is_ok": False, "reason": "r"}, {"is_ok": True, "new_prompt": "新 __INPUT__"}, ANSWER, {"is_ok": True}]
DEAD = 999_999_999


def quiet_trange(monkeypatch):
    from tqdm import trange
    monkeypatch.setattr(vendry, "trange", lambda n, **kw: trange(n, disable=True))


def test_prompt_rewrite_sweeps_stale_temporaries(workdir, monkeypatch, capsys):
    quiet_trange(monkeypatch)
    install(monkeypatch, vendry, list(REWRITE))
    (workdir / "prompt.md").write_text("旧 __INPUT__", "utf-8")
    stale = workdir / f".cvtmp-0badf00d-{DEAD}-0"
    live = workdir / f".cvtmp-0badf00d-{os.getppid()}-0"
    other = workdir / ".prompt.md.AbC123"  # not this system's pattern
    for p in (stale, live, other):
        p.write_text("半", "utf-8")
    assert asyncio.run(vendry.generate_ai_prompt("prompt.md", "q", "k")) is True
    assert (workdir / "prompt.md").read_text("utf-8") == "新 __INPUT__"
    assert sorted(os.listdir(workdir)) == sorted(["prompt.md", live.name, other.name])


def test_prompt_file_with_a_long_name(workdir, monkeypatch, capsys):
    quiet_trange(monkeypatch)
    install(monkeypatch, vendry, list(REWRITE))
    name = "p" * 252 + ".md"  # 255 bytes: no room for a suffix on the name
    (workdir / name).write_text("旧 __INPUT__", "utf-8")
    assert asyncio.run(vendry.generate_ai_prompt(name, "q", "k")) is True
    assert os.listdir(workdir) == [name]
    assert (workdir / name).read_text("utf-8") == "新 __INPUT__"


READ_ONLY_FOLDER = """
import asyncio, os, sys
sys.path.insert(0, sys.argv[1])
from corvane import vendry
from vendry_fakes import ScriptedModel
vendry.llm_response = ScriptedModel(%r)
print(asyncio.run(vendry.generate_ai_prompt("box/prompt.md", "q", "k")))
"""


def test_writable_prompt_in_read_only_folder_is_rewritten_in_place(tmp_path):
    box = tmp_path / "box"
    box.mkdir()
    prompt = box / "prompt.md"
    prompt.write_text("旧 __INPUT__", "utf-8")
    inode = prompt.stat().st_ino
    box.chmod(0o555)
    try:
        command = without_root_powers([sys.executable, "-c", READ_ONLY_FOLDER % (REWRITE,), str(Path(__file__).parent)])
        proc = subprocess.run(command, cwd=tmp_path, capture_output=True, text=True)
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout.strip().splitlines()[-1] == "True"
        assert prompt.read_text("utf-8") == "新 __INPUT__"
        assert prompt.stat().st_ino == inode  # the same file, written in place
        assert os.listdir(box) == ["prompt.md"]
    finally:
        box.chmod(0o755)
