"""The manual checker: each kind of finding by line (table-driven), the walk agreeing with
the parser, and `corvane check`'s output and exit codes."""
from __future__ import annotations

import json

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from corvane import plaxon
from corvane.checking import check_bytes, finding_codes
from corvane.checking.tables import scene_tables
from subproc import run_cli

# (case, manual, the (line, code) findings expected, codes that must not be reported)
CASES = [
    ("unknown field heading", "## 香氛\n简介\n### 步骤\n1. 按下按键", [(3, "unknown-field")], ["dropped-line"]),
    ("field heading with a colon", "## 香氛\n简介\n### 操作步骤：\n1. 按下", [(3, "unknown-field")], []),
    ("a lone misnamed field makes a scene of it", "## 香氛\n### 步骤\n1. 按下",
     [(1, "chapter-heading"), (2, "field-like-title")], []),
    ("sub-section too deep", "## A\n正文\n### 子节\n#### 操作步骤\n1. 打开", [(4, "deep-heading")], []),
    ("sub-heading of a field heading", "## D\n### 操作步骤\n#### 拆卸\n1. 松开", [(3, "deep-heading")],
     ["dropped-line"]),
    ("field-like scene titles lose the topic", "## 香氛系统\n### 使用方法\n按下。\n### 注意事项\n勿拆。",
     [(1, "chapter-heading"), (2, "field-like-title"), (4, "field-like-title")], []),
    ("vehicle line and chapter heading", "本手册适用于 E5。\n\n# 第一章\n## 场景\n内容",
     [(1, "text-before-heading"), (3, "chapter-heading")], []),
    ("image with alt text", "## 仪表\n### 说明\n![示意图](a.png)", [(3, "image-text")], []),
    ("empty-alt image is fine", "## 仪表\n### 说明\n![](a.png)", [], ["image-text"]),
    ("table", "## 指示灯\n| 灯 | 含义 |\n|---|---|\n| 充电 | 正在充电 |", [(2, "table")], []),
    ("step split at the colon", "## 灯\n### 操作步骤\n1. 故障灯（黄色）常亮：可继续行驶", [(3, "colon-split")], []),
    ("ASCII colon does not split", "## 灯\n### 操作步骤\n1. 故障灯常亮:可继续行驶", [], ["colon-split"]),
    ("line before the first step", "## 轮胎\n### 操作步骤\n准备工具\n1. 松开", [(3, "dropped-line")], []),
    ("numbered lines in the description", "## 轮胎\n1. 松开\n2. 拧紧", [(2, "steps-in-description")], []),
    ("empty scene", "## 空\n### 警告\n---", [(1, "empty-scene")], []),
    ("duplicate title", "## 充电\n内容\n## 充电\n内容", [(3, "duplicate-title")], []),
    ("field heading at the top", "# 注意\n小心\n## 场景\n内容", [(1, "field-at-top")], []),
    ("not a heading", "## A\n#标题\n  # 缩进\n####### 七级", [(2, "not-a-heading"), (3, "not-a-heading"),
                                                         (4, "not-a-heading")], []),
    # the index run drops the mark and ends lines at "\r" too: so does the check
    ("byte-order mark", "\ufeff## 场景\n内容", [(1, "bom")], ["text-before-heading"]),
    ("line ends", "## A\r内容\r## A\r\n内容\n## B\r\n### 提示\r", [(3, "duplicate-title"), (5, "empty-scene")], []),
    ("long line", "## A\n" + "长" * 401, [(2, "long-line")], []),
    ("a clean manual", "## 更换轮胎\n### 说明\n说明文字\n### 操作步骤\n1. 松开\n   - 对角\n### 提示\n尽快修复",
     [], [c for c, _ in finding_codes()]),
]


@pytest.mark.parametrize("case,text,expected,absent", CASES, ids=[c[0] for c in CASES])
def test_findings_by_line(case, text, expected, absent):
    rep = check_bytes(text.encode("utf-8"), "m.md")
    got = {(f.line, f.code) for f in rep.findings}
    assert set(expected) <= got, rep.findings
    assert not {c for _, c in got} & set(absent), rep.findings
    for f in rep.findings:
        assert f.message and "\n" not in f.message and f.file == "m.md"


def test_invalid_utf8_is_the_one_error_with_its_line():
    rep = check_bytes("## A\r\n内容\r".encode() + b"\xff\xfe bad\n", "m.md")
    assert [(f.line, f.severity, f.code) for f in rep.findings] == [(3, "error", "invalid-utf8")]
    # overlong forms and surrogates are refused as the decoder refuses them
    for bad in (b"\xc0\xaf", b"\xed\xa0\x80", b"\xf4\x90\x80\x80"):
        assert check_bytes(b"## A\n" + bad, "m.md").findings[0].code == "invalid-utf8"


def test_every_code_is_documented_and_known():
    codes = {c for c, _ in finding_codes()}
    covered = {code for _, _, exp, _ in CASES for _, code in exp} | {"invalid-utf8"}
    assert covered == codes


lines = st.sampled_from(["# 章", "## 场景", "### 操作步骤", "### 说明", "### 注意", "### 子节", "#### 更深",
                         "# 注意", "内容", "1. 步骤：甲；乙", "- 要点", "", "| a | b |", "|---|---|", "![](x.png)"])


@settings(max_examples=300, deadline=None)
@given(st.lists(lines, max_size=14))
def test_scene_walk_agrees_with_the_parser(parts):
    text = "\n".join(parts)
    scenes = plaxon.markdown_to_tree(text)["children"]
    rep = check_bytes(text.encode(), "m.md")
    assert [s["title"] for s in rep.scenes] == [s["title"] for s in scenes]
    # every table lies in the description text of the scene it is assigned to
    for pos, tables in scene_tables(text).items():
        for t in tables:
            cells = [c for row in t["rows"] for c in row if c] + [c for c in t["header"] if c]
            scene = scenes[pos]
            blob = scene["description"] + "".join(scene["warning"] + scene["notice"] + scene["tip"]) + \
                "".join(s["text"] + "".join(s["sub_points"]) for s in scene["steps"])
            assert all(c in blob for c in cells)


def data_folder(tmp_path, manuals: dict[str, bytes]):
    (tmp_path / "data" / "manuals").mkdir(parents=True)
    for name, content in manuals.items():
        (tmp_path / "data" / "manuals" / name).write_bytes(content)
    return tmp_path


@pytest.mark.parametrize("manuals,flags,code", [
    ({"a.md": "## 充电\n内容".encode()}, [], 0),
    ({"a.md": "## 充电\n内容".encode()}, ["--strict"], 0),
    ({"a.md": "## 香氛\n简介\n### 步骤\n1. x".encode()}, [], 0),
    ({"a.md": "## 香氛\n简介\n### 步骤\n1. x".encode()}, ["--strict"], 1),
    ({"a.md": b"## A\n\xff"}, [], 2),
])
def test_exit_codes(tmp_path, manuals, flags, code):
    data_folder(tmp_path, manuals)
    proc = run_cli(["check", *flags], tmp_path, check=False)
    assert proc.returncode == code, proc.stderr


def test_text_and_json_output_name_file_and_line(tmp_path):
    data_folder(tmp_path, {"a.md": "## 充电\n内容".encode(), "b.md": "## 香氛\n简介\n### 步骤\n1. x\n## 充电\n再".encode()})
    proc = run_cli(["check", "--data-dir", "data"], tmp_path, check=False)
    assert proc.returncode == 0
    assert "data/manuals/b.md:3: warning: heading \"步骤\" is no field heading" in proc.stdout
    assert "[unknown-field]" in proc.stdout
    # the title both manuals use is reported once, at the later manual
    assert 'data/manuals/b.md:5: warning: scene title "充电" is also a scene of data/manuals/a.md (line 1)' \
        in proc.stdout
    assert "2 manual(s): 0 error(s), 2 warning(s)" in proc.stderr
    out = json.loads(run_cli(["check", "--json", "data/manuals/b.md"], tmp_path, check=False).stdout)
    assert out["manuals"] == 1 and out["warnings"] == 1
    assert out["findings"][0] | {"message": ""} == {"file": "data/manuals/b.md", "line": 3, "severity": "warning",
                                                   "code": "unknown-field", "message": ""}


@pytest.mark.parametrize("args,expect", [
    (["check", "missing.md"], "no manual file missing.md"),
    (["check", "--data-dir", "nowhere"], "no data folder at nowhere"),
    (["check", "--long-line", "0", "x.md"], "--long-line must be at least 1"),
])
def test_usage_errors(tmp_path, args, expect):
    (tmp_path / "x.md").write_text("## A\nb")
    proc = run_cli(args, tmp_path, check=False)
    assert proc.returncode == 2 and expect in proc.stderr


def test_report_of_one_manual_for_the_service(tmp_path):
    from corvane.checking import count_warnings, manual_report

    data_folder(tmp_path, {"a.md": "## 充电\n内容".encode(), "b.md": "前言\n## 充电\n再".encode()})
    rep = manual_report(tmp_path / "data", "b")
    assert rep["manual_id"] == "b" and rep["warnings"] == 2
    assert [(f["file"], f["line"], f["code"]) for f in rep["findings"]] == [
        ("data/manuals/b.md", 1, "text-before-heading"), ("data/manuals/b.md", 2, "duplicate-title")]
    assert manual_report(tmp_path / "data", "missing") is None
    assert count_warnings(tmp_path / "data") == 2


@pytest.mark.parametrize("call,error", [
    (lambda m: m.check_manual(None), TypeError),
    (lambda m: m.check_manual(b"## A", long_line=0), ValueError),
    (lambda m: m.extract_tables(b"\xff| a |"), None),  # bytes that are not UTF-8: no crash, no table
    (lambda m: m.check_manual("## A\n\ud800"), None),  # a lone surrogate in a str is invalid UTF-8, reported
])
def test_binding_refuses_bad_arguments_cleanly(call, error):
    from corvane import _manualcheck

    if error is None:
        call(_manualcheck)
    else:
        with pytest.raises(error):
            call(_manualcheck)


def test_threaded_check_keeps_the_order_of_one_thread(tmp_path, monkeypatch):
    # Many manuals, each with a title the one before used and a finding of its
    # own, and an unreadable one among them: the threads give the findings of
    # a single thread, file by file and by line.
    import os

    from corvane.checking import report

    manuals = {f"m{i:02d}.md": f"## 场景{i}\n内容\n## 场景{i - 1}\n再\n### 步骤\n1. x".encode() for i in range(1, 25)}
    data_folder(tmp_path, manuals)
    (tmp_path / "data" / "manuals" / "m07.md").chmod(0)
    paths = report.manual_paths(tmp_path / "data")
    threaded = report.check_paths(paths)
    assert report.count_warnings(tmp_path / "data") == len(threaded)
    monkeypatch.setattr(report, "_workers", lambda n: 1)
    assert threaded == report.check_paths(paths)
    files = [f.file for f in threaded]
    assert files == sorted(files)
    if os.geteuid() != 0:  # root reads a file of mode 0 all the same
        assert any(f.code == "unreadable" and f.file.endswith("m07.md") for f in threaded)
    assert sum(f.code == "duplicate-title" for f in threaded) == 23
