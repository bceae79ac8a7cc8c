"""A compiled file cut short or rewritten in place (same inode) while an
engine has it mapped: the process never dies of SIGBUS; searches raise
CorruptIndexError (the raw index) or recompile and answer right (Engine)."""
from __future__ import annotations

import json
import os

import pytest

from subproc import run_python
from test_engine import QUESTIONS, sample_entries, write_index

from corvane.engine import write_compiled_index

CHILD = r"""
import faulthandler, json, os, sys, threading
faulthandler.enable()                      # a handler of Python's own is chained to, not replaced
from corvane import _engine, farrowin
from corvane.engine import Engine

mode, data = sys.argv[1], "data"
cvx, jsonl = os.path.join(data, "scene_index.cvx"), os.path.join(data, "scene_index.jsonl")
questions = json.loads(sys.argv[2])
records = farrowin.load_scene_index(jsonl)
want = {q: [(r["scene_id"], s) for r, s in farrowin.search_knowledge_global(q, records, 3)] for q in questions}

def damage():
    size = os.path.getsize(cvx)
    if mode == "truncate":
        os.truncate(cvx, 0)
    elif mode == "shorter":
        os.truncate(cvx, size // 3)
    else:                                  # what cp does: same inode, new bytes, new size
        with open(cvx, "r+b") as f:
            f.truncate(0)
            f.write(b"\x89CVX" + os.urandom(size // 2))

# The raw index: every search after the damage raises or answers; none kills.
raw = _engine.open_compiled(cvx, jsonl)
raw.search(questions[0]); raw.search_hybrid(questions[0], 3, _engine.Synonyms({}))
eng = Engine(data)
[eng.search(q) for q in questions]
[eng.search(q, ranker="hybrid") for q in questions]
errors, stop = [], threading.Event()
def loop():
    try:
        while not stop.is_set():
            for q in questions:
                got = [(r["scene_id"], s) for r, s in eng.search(q)]
                assert got == want[q], (q, got, want[q])
                eng.search(q, ranker="hybrid")
    except BaseException as exc:
        errors.append(repr(exc))
t = threading.Thread(target=loop)
t.start()
damage()
raised = 0
for q in questions * 3:
    for call in (lambda: raw.search(q), lambda: raw.search_hybrid(q, 3, _engine.Synonyms({}))):
        try:
            call()
        except _engine.CorruptIndexError:
            raised += 1
stop.set(); t.join()
print(json.dumps({"errors": errors, "raised": raised, "faults": _engine.guarded_faults(),
                  "verified": raw.verified()}))
"""


@pytest.mark.parametrize("mode", ["truncate", "shorter", "overwrite"])
def test_compiled_file_damaged_in_place_under_searches(tmp_path, mode):
    data = write_index(tmp_path, sample_entries(n=3000))
    write_compiled_index(data)
    proc = run_python(CHILD.replace("sys.argv[1]", repr(mode)).replace("sys.argv[2]", repr(json.dumps(QUESTIONS))),
                      tmp_path, check=False)
    assert proc.returncode == 0, proc.stderr[-3000:]
    out = json.loads(proc.stdout.strip().splitlines()[-1])
    assert out["errors"] == []
    # The raw index found its file gone or changed: reported, never answered
    # from silently; pages cut off were turned into zero pages.
    assert out["raised"] > 0 and out["faults"] > 0
    if mode != "overwrite":  # (new bytes over the first pages read without a fault)
        assert out["verified"] == -1
    assert "Fatal Python error" not in proc.stderr


@pytest.mark.skipif(bool(os.environ.get("CORVANE_SANITIZED")),
                    reason="under the sanitizers their own handler ends the process on a foreign SIGBUS")
def test_foreign_sigbus_still_ends_the_process(tmp_path):
    """Only faults in our mappings are absorbed: a SIGBUS elsewhere keeps its
    default action (the handler installed before ours gets it)."""
    data = write_index(tmp_path, sample_entries(n=50))
    write_compiled_index(data)
    code = ("import os, signal\nfrom corvane.engine import Engine\nEngine('data').search('前门锁')\n"
            "os.kill(os.getpid(), signal.SIGBUS)\nprint('survived')")
    proc = run_python(code, tmp_path, check=False)
    assert proc.returncode == -7 and "survived" not in proc.stdout
