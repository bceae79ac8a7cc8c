"""The indexing run: end-to-end folders, the corpus, and the failure paths."""
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from corvane import ostrel, plaxon

HERE = Path(__file__).parent
E2E = HERE / "golden" / "e2e"
CORPUS = HERE / "data" / "corpus"


def run_in(folder: Path, script: str) -> subprocess.CompletedProcess:
    """Runs `script` with the test interpreter in `folder`, so morlek loads that folder's alias file."""
    return subprocess.run([sys.executable, "-c", script], cwd=folder, capture_output=True, text=True,
                          encoding="utf-8", check=False)


def files_of(folder: Path) -> dict:
    return {p.relative_to(folder).as_posix(): p.read_bytes() for p in sorted(folder.rglob("*")) if p.is_file()}


@pytest.mark.parametrize("case", sorted(p.name for p in E2E.iterdir()))
def test_e2e_case(case, tmp_path):
    shutil.copytree(E2E / case / "input", tmp_path, dirs_exist_ok=True)
    proc = run_in(tmp_path, "from corvane import ostrel; ostrel.ostrel_main()")
    assert proc.returncode == 0, proc.stderr
    expected = E2E / case / "expected"
    assert proc.stdout == (expected / "stdout.txt").read_text(encoding="utf-8")
    assert files_of(tmp_path / "data" / "trees") == files_of(expected / "data" / "trees")
    assert (tmp_path / "data" / "scene_index.jsonl").read_bytes() == \
        (expected / "data" / "scene_index.jsonl").read_bytes()


REFERENCE = r"""
import json, sys
from pathlib import Path
from corvane import morlek, ostrel, plaxon
ostrel.ostrel_main()
lines = []
for path in sorted(Path("data/manuals").glob("*.md"), key=lambda p: p.name.encode()):
    tree = plaxon.markdown_to_tree(path.read_text(encoding="utf-8"))
    tree_text = json.dumps(tree, ensure_ascii=False, indent=2)
    assert Path("data/trees", path.stem + ".json").read_text(encoding="utf-8") == tree_text, path
    for idx, scene in enumerate(tree["children"]):
        rec = ostrel.build_scene_record(path.stem, tree, scene, idx)
        assert rec["aliases"] == [scene["title"]] + morlek.MANUAL_ALIAS_MAP.get(scene["title"], [])
        if hasattr(morlek, "build_keywords_from_scene"):
            assert rec["keywords"] == morlek.build_keywords_from_scene(scene)
        lines.append(json.dumps(rec, ensure_ascii=False) + "\n")
assert Path("data/scene_index.jsonl").read_text(encoding="utf-8") == "".join(lines)
print("scenes", len(lines), "aliased", sum(len(json.loads(l)["aliases"]) > 1 for l in lines))
"""


def test_corpus_matches_straightforward_rendering(tmp_path):
    (tmp_path / "data").mkdir()
    shutil.copytree(CORPUS / "manuals", tmp_path / "data" / "manuals")
    shutil.copy(CORPUS / "manual_alias.json", tmp_path / "data" / "manual_alias.json")
    proc = run_in(tmp_path, REFERENCE)
    assert proc.returncode == 0, proc.stderr
    last = proc.stdout.splitlines()[-1].split()
    assert int(last[1]) > 50 and int(last[3]) > 0  # the corpus exercises the alias map


# --- in-process runs (the suite's alias map is the golden one) -------------

GUIDE = "# 更换轮胎\n松开螺母\n## 操作步骤\n1. 拧松\n"


def write(path: Path, data, mode="w"):
    path.parent.mkdir(parents=True, exist_ok=True)
    if isinstance(data, bytes):
        path.write_bytes(data)
    else:
        with open(path, "w", encoding="utf-8", newline="") as f:
            f.write(data)


def data_listing(root: Path) -> list:
    return sorted(p.relative_to(root).as_posix() for p in (root / "data").rglob("*"))


@pytest.fixture
def old_index(workdir):
    index = workdir / "data" / "scene_index.jsonl"
    write(index, '{"old": "索引"}\n')
    return index


def test_no_manuals_removes_index_and_prints_nothing(old_index, workdir, capsys):
    ostrel.ostrel_main()
    assert not old_index.exists()
    assert (workdir / "data" / "trees").is_dir()
    assert capsys.readouterr().out == ""


def test_only_empty_manuals_leave_no_index(old_index, workdir, capsys):
    write(workdir / "data/manuals/empty.md", "无标题文字\n")
    ostrel.ostrel_main()
    assert not old_index.exists()
    assert (workdir / "data/trees/empty.json").exists()
    assert capsys.readouterr().out == "Processed: empty, scenes=0\n"
    assert ".tmp" not in "".join(data_listing(workdir))


def test_listing_rules_and_order(workdir, capsys):
    manuals = workdir / "data" / "manuals"
    for name in ("b.md", "a.b.md", "Z.md", "中文.md"):
        write(manuals / name, f"# {name}\n内容\n")
    write(manuals / "._b.md", b"\x00\x05\xff")          # resource-fork debris, not UTF-8
    write(manuals / ".hidden.md", "# h\nx\n")
    write(manuals / "notes.txt", "# t\nx\n")
    write(manuals / "upper.MD", "# u\nx\n")
    (manuals / "dir.md").mkdir()
    write(workdir / "elsewhere" / "target.txt", "# 链接\n内容\n")
    os.symlink(workdir / "elsewhere" / "target.txt", manuals / "link.md")
    os.symlink(workdir / "missing", manuals / "dangling.md")
    ostrel.ostrel_main()
    out = capsys.readouterr().out.splitlines()
    assert out == [f"Processed: {n}, scenes=1" for n in ("Z", "a.b", "b", "link", "中文")]
    ids = [json.loads(l)["scene_id"] for l in (workdir / "data/scene_index.jsonl").read_text("utf-8").splitlines()]
    assert ids == ["Z_scene_1", "a.b_scene_1", "b_scene_1", "link_scene_1", "中文_scene_1"]


@pytest.mark.parametrize("raw", [
    b"\xef\xbb\xbf# A\r\nx\r\n## B\r\n### \xe6\xb3\xa8\xe6\x84\x8f\r\n- y\r\n",
    b"# A\rx\r## B\r### \xe6\xb3\xa8\xe6\x84\x8f\r- y\r",
    b"# A\r\nx\r## B\n### \xe6\xb3\xa8\xe6\x84\x8f\r\n- y",
], ids=["bom-crlf", "cr", "mixed"])
def test_manual_read_as_host_text(raw, workdir):
    write(workdir / "data/manuals/m.md", raw)
    ostrel.ostrel_main()
    text = raw.decode("utf-8-sig").replace("\r\n", "\n").replace("\r", "\n")
    expected = json.dumps(plaxon.markdown_to_tree(text), ensure_ascii=False, indent=2)
    assert (workdir / "data/trees/m.json").read_text(encoding="utf-8") == expected
    assert "\\r" not in expected and "\ufeff" not in expected


def test_rerun_is_identical_and_drops_removed_manuals(workdir, capsys):
    for name in ("a", "b"):
        write(workdir / f"data/manuals/{name}.md", GUIDE)
    ostrel.ostrel_main()
    index = workdir / "data/scene_index.jsonl"
    first = index.read_bytes()
    ostrel.ostrel_main()
    assert index.read_bytes() == first
    (workdir / "data/manuals/a.md").unlink()
    ostrel.ostrel_main()
    assert index.read_text("utf-8").count("\n") == 1 and '"b_scene_1"' in index.read_text("utf-8")
    assert (workdir / "data/trees/a.json").exists()


def test_entry_content(workdir):
    write(workdir / "data/manuals/guide.md", GUIDE + "# 三包责任承诺\n说明文字\n")
    ostrel.ostrel_main()
    lines = (workdir / "data/scene_index.jsonl").read_text("utf-8").split("\n")
    assert lines[-1] == ""
    entries = [json.loads(l) for l in lines[:-1]]
    assert [e["scene_id"] for e in entries] == ["guide_scene_1", "guide_scene_2"]
    assert entries[0]["aliases"] == ["更换轮胎", "换胎", "补胎"]      # golden alias map
    assert entries[0]["scene_data"]["steps"][0]["index"] == 1
    assert entries[0]["manual_title"] == "document" and entries[0]["doc_name"] == ""
    assert "更换轮胎" in lines[0]  # unescaped


# --- a run that fails part-way leaves the previous index as it was --------

def assert_untouched(workdir, old_index, before):
    assert old_index.read_bytes() == before
    assert not [n for n in data_listing(workdir) if ".tmp" in n]


def test_invalid_utf8_mid_run(old_index, workdir, capsys):
    before = old_index.read_bytes()
    write(workdir / "data/manuals/a.md", GUIDE)
    write(workdir / "data/manuals/b.md", "# 标题\n好".encode() + b"\xff\xfe" + "尾".encode())
    write(workdir / "data/manuals/c.md", GUIDE)
    with pytest.raises(UnicodeDecodeError) as err:
        ostrel.ostrel_main()
    e = err.value
    assert "data/manuals/b.md" in str(e)
    assert e.encoding == "utf-8" and e.object[e.start:e.end] == b"\xff"
    assert_untouched(workdir, old_index, before)
    assert capsys.readouterr().out == "Processed: a, scenes=1\n"


def test_failed_tree_write_mid_run(old_index, workdir):
    before = old_index.read_bytes()
    write(workdir / "data/manuals/a.md", GUIDE)
    write(workdir / "data/manuals/b.md", GUIDE)
    (workdir / "data/trees/b.json").mkdir(parents=True)  # cannot be replaced by a file
    with pytest.raises(OSError) as err:
        ostrel.ostrel_main()
    assert err.value.filename == "data/trees/b.json"
    assert_untouched(workdir, old_index, before)


def test_bad_alias_value_mid_run(old_index, workdir, monkeypatch):
    from corvane import morlek
    before = old_index.read_bytes()
    monkeypatch.setitem(morlek.MANUAL_ALIAS_MAP, "坏别名", ("不是", "列表"))
    write(workdir / "data/manuals/a.md", GUIDE)
    write(workdir / "data/manuals/b.md", "# 坏别名\n内容\n")
    with pytest.raises(TypeError, match="concatenate"):
        ostrel.ostrel_main()
    assert_untouched(workdir, old_index, before)


def test_print_failure_mid_run(old_index, workdir, monkeypatch):
    before = old_index.read_bytes()
    write(workdir / "data/manuals/a.md", GUIDE)

    class Broken:
        def write(self, s):
            raise OSError("stdout closed")

    monkeypatch.setattr(sys, "stdout", Broken())
    with pytest.raises(OSError, match="stdout closed"):
        ostrel.ostrel_main()
    monkeypatch.undo()
    assert_untouched(workdir, old_index, before)


def test_step_numeral_digit_limit(old_index, workdir):
    before = old_index.read_bytes()
    limit = sys.get_int_max_str_digits()
    numeral = "0" * limit + "7"   # leading zeros count, as for int()
    write(workdir / "data/manuals/a.md", f"# A\n### 操作步骤\n{numeral}. 拧紧\n")
    with pytest.raises(ValueError, match=r"data/manuals/a\.md.*Exceeds the limit"):
        ostrel.ostrel_main()
    assert_untouched(workdir, old_index, before)
    assert sys.get_int_max_str_digits() == limit
    write(workdir / "data/manuals/a.md", f"# A\n### 操作步骤\n{numeral[1:]}. 拧紧\n{'9' * limit}. 再拧\n")
    ostrel.ostrel_main()
    steps = json.loads(old_index.read_text("utf-8"))["scene_data"]["steps"]
    assert [s["index"] for s in steps] == [7, int("9" * limit)]


def test_unlimited_digits_in_subprocess(tmp_path):
    write(tmp_path / "data/manuals/a.md", "# A\n### 操作步骤\n" + "1" * 6000 + ". 拧紧\n")
    proc = run_in(tmp_path, "import sys; sys.set_int_max_str_digits(0)\n"
                            "from corvane import ostrel; ostrel.ostrel_main()")
    assert proc.returncode == 0, proc.stderr
    line = (tmp_path / "data/scene_index.jsonl").read_text("utf-8")
    assert '"index": ' + "1" * 6000 + "," in line


def test_utf8_check_agrees_with_the_host_decoder(workdir):
    """Mostly three-byte text with one odd sequence at varying places: the run
    rejects exactly what bytes.decode rejects, at the same offset."""
    import random
    rng = random.Random(7)
    odd = [b"\x80", b"\xbf", b"\xc0\xaf", b"\xc2", b"\xe0\x80\x80", b"\xe0\xa0\x80", b"\xed\xa0\x80",
           b"\xed\x9f\xbf", b"\xe4\xb8", b"\xef\xbf\xbf", b"\xf0\x8f\xbf\xbf", b"\xf0\x9f\x98\x80",
           b"\xf0\x9f\x98", b"\xf4\x8f\xbf\xbf", b"\xf4\x90\x80\x80", b"\xf5\x80\x80\x80", b"\xff", b"\xc2\xa0"]
    path = workdir / "data/manuals/m.md"
    for case in range(120):
        body = "".join(rng.choice("中文说明，。、abc 1\n") for _ in range(rng.randrange(0, 40))).encode()
        cut = rng.randrange(len(body) + 1)
        while cut < len(body) and (body[cut] & 0xC0) == 0x80:
            cut += 1
        raw = b"# T\n" + body[:cut] + odd[case % len(odd)] + body[cut:]
        write(path, raw)
        try:
            raw.decode("utf-8")
            expected = None
        except UnicodeDecodeError as e:
            expected = e.start
        if expected is None:
            ostrel.ostrel_main()
        else:
            with pytest.raises(UnicodeDecodeError) as err:
                ostrel.ostrel_main()
            assert err.value.start == expected, raw


def test_scene_with_many_keywords_keeps_first_occurrences(workdir):
    """Enough distinct tokens to outgrow any small table, with repeats between steps."""
    words = [f"词{chr(0x4E00 + i)}{chr(0x4E00 + 3 * i)}" for i in range(150)]
    steps = "".join(f"{i + 1}. {' '.join(words[i * 7:i * 7 + 12])}\n" for i in range(20))
    write(workdir / "data/manuals/k.md", f"# 场景\n## 操作步骤\n{steps}")
    ostrel.ostrel_main()
    rec = json.loads((workdir / "data/scene_index.jsonl").read_text("utf-8"))
    expected = ["场景"]
    for i in range(20):
        for w in words[i * 7:i * 7 + 12][:10]:
            if w not in expected:
                expected.append(w)
    assert rec["keywords"] == expected
    assert len(expected) > 100


def test_escapes_anywhere_in_tree_and_index(tmp_path):
    """Quotes, backslashes and control characters at every offset within the
    first bytes of a string, in every kind of member, both file forms."""
    odd = ['"', "\\", "\x01", "\x1f", "\x7f", "\x08"]
    lines = []
    for n in range(18):
        c = odd[n % len(odd)]
        pad = "汉a" * (n // 2) + "b" * (n % 2)
        lines += [f"# 标题{pad}{c}尾", f"说明{pad}{c}", "## 操作步骤", f"{n + 1}. 步骤{pad}{c}：子{c}；点{pad}",
                  f"- 子项{c}{pad}", f"![]({pad}{c}.png)", "## 提示", f"- {pad}{c}{pad}"]
    (tmp_path / "data" / "manuals").mkdir(parents=True)
    write(tmp_path / "data/manuals/esc.md", "\n".join(lines) + "\n")
    write(tmp_path / "data/manual_alias.json", '{"标题\\"尾": ["别\\u0001名"]}')
    proc = run_in(tmp_path, REFERENCE)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines()[-1] == "scenes 18 aliased 1"


@pytest.mark.parametrize("case", sorted(p.name for p in E2E.iterdir()))
def test_run_index_with_folders_equals_ostrel_main(case, tmp_path):
    """The run over named folders, with a callback instead of the printed lines, writes the
    files the fixed-path run writes; the working directory plays no part."""
    from corvane import morlek

    shutil.copytree(E2E / case / "input", tmp_path / "in", dirs_exist_ok=True)
    data = tmp_path / "in" / "data"
    aliases, failure = morlek.read_alias_file(str(data / "manual_alias.json"))
    assert failure is None or not (data / "manual_alias.json").exists()
    seen = []
    ostrel.run_index(data / "manuals", tmp_path / "trees", tmp_path / "index.jsonl", aliases=aliases,
                     on_manual=lambda manual_id, scenes: seen.append(f"Processed: {manual_id}, scenes={scenes}"),
                     threads=2)
    expected = E2E / case / "expected"
    printed = [l for l in (expected / "stdout.txt").read_text(encoding="utf-8").splitlines() if l.startswith("Processed")]
    assert seen == printed
    assert files_of(tmp_path / "trees") == files_of(expected / "data" / "trees")
    if (expected / "data" / "scene_index.jsonl").exists():
        assert (tmp_path / "index.jsonl").read_bytes() == (expected / "data" / "scene_index.jsonl").read_bytes()


def test_run_index_refuses_a_manual_name_that_is_not_utf8_before_writing(tmp_path):
    manuals = tmp_path / "manuals"
    write(manuals / "a.md", "# 标题\n正文\n")
    write(Path(os.fsdecode(bytes(manuals) + b"/b\xff.md")), "# 标题\n正文\n")
    with pytest.raises(UnicodeDecodeError) as caught:
        ostrel.run_index(manuals, tmp_path / "trees", tmp_path / "index.jsonl", aliases={})
    assert "b\\xff.md" in caught.value.reason and caught.value.object == b"b\xff.md"
    assert not (tmp_path / "index.jsonl").exists()
    assert not (tmp_path / "trees").exists() or not any((tmp_path / "trees").iterdir())


@pytest.mark.parametrize("kwargs, error", [
    ({"threads": 0}, "threads must be from 1 to 256"),
    ({"max_line_bytes": 0}, "max_line_bytes must be from 1"),
    ({"on_manual": 5}, "on_manual"),
    ({"aliases": 5}, "aliases"),
])
def test_run_index_checks_its_arguments(kwargs, error, tmp_path):
    write(tmp_path / "manuals" / "a.md", "# 标题\n正文\n")
    with pytest.raises((TypeError, ValueError), match=error):
        ostrel.run_index(tmp_path / "manuals", tmp_path / "trees", tmp_path / "index.jsonl", **kwargs)
    assert not (tmp_path / "index.jsonl").exists()
