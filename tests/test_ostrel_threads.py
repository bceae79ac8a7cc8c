"""The indexing run on several threads, without the GIL, and its line limit.

Whatever the worker count, a run writes the same bytes, prints the same lines
in the same order and fails with the error of the first failing manual in
sorted order, keeping the old index."""
import json
import os
import shutil
import sys
from pathlib import Path

import pytest

from corvane import ostrel
from subproc import run_python

HERE = Path(__file__).parent
CORPUS = HERE / "data" / "corpus"
GUIDE = "# 更换轮胎\n松开螺母\n## 操作步骤\n1. 拧松\n"
THREADS = ["1", "2", "3", "7"]


def write(path: Path, data):
    path.parent.mkdir(parents=True, exist_ok=True)
    if isinstance(data, bytes):
        path.write_bytes(data)
    else:
        path.write_text(data, encoding="utf-8")


def snapshot(root: Path) -> dict:
    return {p.relative_to(root).as_posix(): p.read_bytes() for p in sorted((root / "data").rglob("*"))
            if p.is_file() and "manuals" not in p.parts}


def run(monkeypatch, capsys, threads: str):
    monkeypatch.setenv("CORVANE_INDEX_THREADS", threads)
    ostrel.ostrel_main()
    return capsys.readouterr().out


def test_every_thread_count_writes_and_prints_the_same(workdir, monkeypatch, capsys):
    shutil.copytree(CORPUS / "manuals", workdir / "data" / "manuals")
    for n in range(12):  # small manuals between the corpus ones, and manuals without scenes
        write(workdir / f"data/manuals/m{n:02}.md", GUIDE * n if n % 4 else "无标题\n")
    results = {}
    for threads in THREADS:
        shutil.rmtree(workdir / "data" / "trees", ignore_errors=True)
        out = run(monkeypatch, capsys, threads)
        results[threads] = (out, snapshot(workdir))
    one_out, one_files = results["1"]
    assert one_out.count("Processed: ") == len(list((workdir / "data/manuals").glob("*.md")))
    for threads, (out, files) in results.items():
        assert out == one_out, threads
        assert files == one_files, threads


def test_first_failing_manual_in_order_decides(workdir, monkeypatch, capsys):
    index = workdir / "data/scene_index.jsonl"
    write(index, '{"old": 1}\n')
    write(workdir / "data/manuals/a.md", GUIDE)
    write(workdir / "data/manuals/b.md", GUIDE)
    write(workdir / "data/manuals/c.md", b"# x\n\xff")                           # fails first
    write(workdir / "data/manuals/d.md", GUIDE)
    write(workdir / "data/manuals/e.md", f"# A\n### 操作步骤\n{'7' * (sys.get_int_max_str_digits() + 1)}. x\n")
    for n in range(20):
        write(workdir / f"data/manuals/f{n:02}.md", GUIDE)
    for threads in THREADS:
        shutil.rmtree(workdir / "data" / "trees", ignore_errors=True)
        monkeypatch.setenv("CORVANE_INDEX_THREADS", threads)
        with pytest.raises(UnicodeDecodeError, match=r"data/manuals/c\.md"):
            ostrel.ostrel_main()
        assert capsys.readouterr().out == "Processed: a, scenes=1\nProcessed: b, scenes=1\n", threads
        # later manuals were perhaps parsed, but nothing of theirs was written
        assert sorted(os.listdir(workdir / "data/trees")) == ["a.json", "b.json"], threads
        assert index.read_bytes() == b'{"old": 1}\n'
        assert not [n for n in os.listdir(workdir / "data") if n.startswith(".")]


@pytest.mark.parametrize("value", ["0", "-1", "two", "257", "1 ", "99999999999999999999999"])
def test_bad_thread_setting_is_refused_before_anything_happens(value, workdir, monkeypatch, capsys):
    index = workdir / "data/scene_index.jsonl"
    write(index, "{}\n")
    write(workdir / "data/manuals/a.md", GUIDE)
    monkeypatch.setenv("CORVANE_INDEX_THREADS", value)
    with pytest.raises(ValueError, match="CORVANE_INDEX_THREADS must be a whole number from 1 to 256"):
        ostrel.ostrel_main()
    assert index.read_bytes() == b"{}\n" and not (workdir / "data/trees").exists()
    assert capsys.readouterr().out == ""


def test_line_limit_counts_the_whole_line_with_its_aliases(workdir, monkeypatch, capsys):
    """An entry whose line would pass the limit is refused, naming manual and
    scene; a line of exactly the limit is written.  The aliased scene (golden
    alias map) is the longest, so its aliases decide."""
    write(workdir / "data/manuals/a.md", "# 短\nx\n")
    write(workdir / "data/manuals/b.md", "# 其他\n内容\n" + GUIDE + "# 尾\ny\n")
    write(workdir / "data/manuals/c.md", "# 短\nz\n")
    index = workdir / "data/scene_index.jsonl"
    ostrel.ostrel_main()
    lines = index.read_bytes().split(b"\n")[:-1]
    longest = max(lines, key=len)
    assert json.loads(longest)["scene_id"] == "b_scene_2" and len(json.loads(longest)["aliases"]) > 1
    before = index.read_bytes()
    capsys.readouterr()
    for threads in ("1", "2"):
        monkeypatch.setenv("CORVANE_INDEX_THREADS", threads)
        monkeypatch.setenv("CORVANE_INDEX_MAX_LINE_BYTES", str(len(longest)))
        ostrel.ostrel_main()
        assert index.read_bytes() == before
        capsys.readouterr()
        monkeypatch.setenv("CORVANE_INDEX_MAX_LINE_BYTES", str(len(longest) - 1))
        with pytest.raises(ValueError) as err:
            ostrel.ostrel_main()
        assert str(err.value) == (
            f"data/manuals/b.md: scene b_scene_2: its index line would be {len(longest)} bytes, longer than "
            f"{len(longest) - 1} bytes, the limit for a scene index line; the old index is kept")
        assert index.read_bytes() == before
        assert capsys.readouterr().out == "Processed: a, scenes=1\n"


def test_line_limit_setting_only_lowers(workdir, monkeypatch):
    write(workdir / "data/manuals/a.md", GUIDE)
    monkeypatch.setenv("CORVANE_INDEX_MAX_LINE_BYTES", str((256 << 20) + 1))
    with pytest.raises(ValueError, match="CORVANE_INDEX_MAX_LINE_BYTES must be a whole number from 1 to 268435456"):
        ostrel.ostrel_main()


LEASED_RUN = r"""
import fcntl, os, signal, sys, threading, time
signal.signal(signal.SIGIO, signal.SIG_IGN)
os.makedirs("data/manuals")
with open("data/manual_alias.json", "w") as f:
    f.write("{}")
from corvane import ostrel
for name in "abc":
    with open(f"data/manuals/{name}.md", "w", encoding="utf-8") as f:
        f.write("# 场景\n内容\n")
# While this write lease is held, opening b.md blocks (for up to the system's
# lease-break time); only this process's other Python thread lets it go.
fd = os.open("data/manuals/b.md", os.O_RDWR)
try:
    fcntl.fcntl(fd, fcntl.F_SETLEASE, fcntl.F_WRLCK)
except OSError as e:
    print("no-leases", e)
    sys.exit(0)
seen = []
def helper():
    while fcntl.fcntl(fd, fcntl.F_GETLEASE) == fcntl.F_WRLCK:
        time.sleep(0.001)
    # the run is waiting for this thread: b's tree file is not written yet
    seen.append(os.path.exists("data/trees/b.json"))
    fcntl.fcntl(fd, fcntl.F_SETLEASE, fcntl.F_UNLCK)
thread = threading.Thread(target=helper)
thread.start()
ostrel.ostrel_main()
thread.join()
print("b written when the helper ran:", seen)
"""


@pytest.mark.parametrize("threads", ["1", "2"])
def test_other_python_threads_run_while_indexing(threads, tmp_path, monkeypatch):
    """The run waits on a manual that only another Python thread of the same
    process can release; holding the GIL it would wait out the whole lease
    break time and the thread would run only afterwards."""
    monkeypatch.setenv("CORVANE_INDEX_THREADS", threads)
    proc = run_python(LEASED_RUN, tmp_path, timeout=300)
    if proc.stdout.startswith("no-leases"):
        pytest.skip(f"file leases unavailable here: {proc.stdout.strip()}")
    lines = proc.stdout.splitlines()
    assert lines[-1] == "b written when the helper ran: [False]"
    assert lines[:-1] == [f"Processed: {n}, scenes=1" for n in "abc"]


class RecordingMap:
    """An alias map that is not a dict: looked up through get(), with the GIL."""

    def __init__(self, fail_on=None):
        self.calls, self.fail_on = [], fail_on

    def get(self, title, default):
        self.calls.append(title)
        if title == self.fail_on:
            raise KeyError(f"no aliases for {title}")
        return ["别名"] if title == "乙" else default


@pytest.mark.parametrize("threads", ["1", "2", "5"])
def test_mapping_alias_source_is_asked_in_run_order(threads, workdir, monkeypatch, capsys):
    from corvane import morlek
    monkeypatch.setenv("CORVANE_INDEX_THREADS", threads)
    for n, titles in enumerate(["甲乙", "丙", "乙丁", "戊"]):
        write(workdir / f"data/manuals/m{n}.md", "".join(f"# {t}\n内容\n" for t in titles))
    mapping = RecordingMap()
    monkeypatch.setattr(morlek, "MANUAL_ALIAS_MAP", mapping)
    ostrel.ostrel_main()
    assert mapping.calls == ["甲", "乙", "丙", "乙", "丁", "戊"]
    entries = [json.loads(l) for l in (workdir / "data/scene_index.jsonl").read_text("utf-8").splitlines()]
    assert [e["aliases"] for e in entries if e["scene_title"] == "乙"] == [["乙", "别名"]] * 2
    capsys.readouterr()

    before = (workdir / "data/scene_index.jsonl").read_bytes()
    failing = RecordingMap(fail_on="丁")
    monkeypatch.setattr(morlek, "MANUAL_ALIAS_MAP", failing)
    with pytest.raises(KeyError, match="no aliases for 丁"):
        ostrel.ostrel_main()
    assert failing.calls == ["甲", "乙", "丙", "乙", "丁"]
    assert capsys.readouterr().out == "Processed: m0, scenes=2\nProcessed: m1, scenes=1\n"
    assert (workdir / "data/scene_index.jsonl").read_bytes() == before


@pytest.mark.parametrize("threads", ["1", "3"])
def test_each_progress_line_comes_right_after_its_tree_file(threads, workdir, monkeypatch):
    """When "Processed: m" is printed, the tree files of m and of the manuals
    before it are in place and none after it (workers only prepare ahead)."""
    names = [f"m{n:02}" for n in range(12)]
    for name in names:
        write(workdir / f"data/manuals/{name}.md", GUIDE)
    trees = workdir / "data" / "trees"
    seen = []

    class Recorder:
        def write(self, text):
            if text.startswith("Processed: "):
                seen.append((text.split(",")[0][len("Processed: "):], sorted(os.listdir(trees))))
            return len(text)

    monkeypatch.setenv("CORVANE_INDEX_THREADS", threads)
    monkeypatch.setattr(sys, "stdout", Recorder())
    ostrel.ostrel_main()
    monkeypatch.undo()
    assert [name for name, _ in seen] == names
    for k, (name, listing) in enumerate(seen):
        done = [f"{n}.json" for n in names[:k + 1]]
        assert [f for f in listing if not f.startswith(".")] == done, name
