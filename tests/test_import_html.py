"""HTML documents into manuals: the structure maps onto the expected scenes, the wording
is kept, and a manual rendered to HTML imports back into the same scenes."""
from __future__ import annotations

import json
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from corvane import plaxon
from corvane.checking import check_bytes, summary
from corvane.checking.importers import convert_html
from corvane.checking.render import tree_to_html
from subproc import run_cli, run_python

pytest.importorskip("lxml")


def scenes_of_html(html: str) -> list[dict]:
    return plaxon.markdown_to_tree(convert_html(html.encode("utf-8")).markdown)["children"]


def scene(title, description="", images=(), steps=(), warning=(), notice=(), tip=()):
    return {"type": "scene", "title": title, "description": description, "images": list(images),
            "steps": list(steps), "warning": list(warning), "notice": list(notice), "tip": list(tip)}


def step(index, text, sub_points=(), images=()):
    return {"index": index, "text": text, "sub_points": list(sub_points), "images": list(images)}


MANUAL_PAGE = """<html><head><meta charset="utf-8"></head><body>
<nav>目录</nav>
<p>本手册适用于 Aster E5。</p>
<h1>第一章 日常使用</h1>
<h2>更换轮胎</h2>
<p>轮胎漏气时，请先将车辆停放在安全区域。</p>
<ol start="1"><li>打开危险警告灯。</li>
<li>取出随车工具<ul><li>千斤顶</li><li>轮胎扳手</li></ul><img src="tools.png" alt=""></li></ol>
<div class="admonition warning"><p>警告！</p><p>车辆顶起时严禁进入车底。</p></div>
<aside><p>提示：尽快修复原轮胎。</p></aside>
<h2>香氛系统</h2>
<h3>使用方法</h3><ol><li>按下香氛按键。</li></ol>
<h3>注意事项</h3><p>请勿自行拆卸香氛盒。</p>
<h2>指示灯</h2>
<table><thead><tr><th>指示灯</th><th>含义</th></tr></thead><tr><td>充电指示灯</td><td>正在充电</td></tr></table>
<figure><img src="dash.png"><figcaption>仪表示意图</figcaption></figure>
<p>注意：请勿遮挡仪表。</p>
</body></html>"""


def test_manual_page_maps_onto_scenes():
    got = scenes_of_html(MANUAL_PAGE)
    assert got == [
        scene("更换轮胎", "轮胎漏气时，请先将车辆停放在安全区域。",
              steps=[step(1, "打开危险警告灯。"),
                     step(2, "取出随车工具", ["千斤顶", "轮胎扳手"],
                          [{"url": "tools.png", "position": "step_2", "caption": "更换轮胎-步骤2图片"}])],
              warning=["车辆顶起时严禁进入车底。"], tip=["尽快修复原轮胎。"]),
        # the field-like sub-headings fold into their topic instead of becoming scenes
        scene("香氛系统", steps=[step(1, "按下香氛按键。")], notice=["请勿自行拆卸香氛盒。"]),
        scene("指示灯", "| 指示灯 | 含义 |\n|---|---|\n| 充电指示灯 | 正在充电 |\n仪表示意图",
              images=[{"url": "dash.png", "position": "scene", "caption": "指示灯相关图片"}],
              notice=["请勿遮挡仪表。"]),
    ]


@pytest.mark.parametrize("html,expected", [
    # a heading-like paragraph stays text; an image's alternative text becomes a line after it
    ("<h2>A</h2><p># 不是标题</p><img src='a.png' alt='示意图'>",
     [scene("A", "# 不是标题\n示意图", images=[{"url": "a.png", "position": "scene", "caption": "A相关图片"}])]),
    # step numbers as written (value, start), line breaks inside a paragraph
    ("<h2>B</h2><ol start='3'><li>三</li><li value='7'>七</li></ol><p>一行<br>二行</p>",
     [scene("B", "一行\n二行", steps=[step(3, "三"), step(7, "七")])]),
    # scripts and styles are no text; a document without headings gives no scene
    ("<h2>A</h2><script>var x = 1;</script><style>p {}</style><p>b</p>", [scene("A", "b")]),
    ("<p>无标题</p>", []),
])
def test_html_details(html, expected):
    assert scenes_of_html(html) == expected


def test_legacy_encoding_by_meta_charset():
    data = '<meta charset="gb18030"><h2>充电</h2><p>充电口盖</p>'.encode("gb18030")
    got = plaxon.markdown_to_tree(convert_html(data).markdown)["children"]
    assert got == [scene("充电", "充电口盖")]


# --- round trip ----------------------------------------------------------------------------

WORDS = st.sampled_from(["打开", "车门", "轮胎", "检查", "按下", "按键", "充电口", "约3厘米", "E5", "OK", "（黄色）"])
TEXT = st.lists(WORDS, min_size=1, max_size=4).map("".join)


@st.composite
def manuals(draw):
    out = []
    for k in range(draw(st.integers(1, 4))):
        out.append(f"## 场景{k}{draw(TEXT)}")
        if draw(st.booleans()):
            out += ["### 说明"] + draw(st.lists(TEXT, min_size=1, max_size=3))
        if draw(st.booleans()) or len(out) and out[-1].startswith("##"):
            out.append("### 操作步骤")
            for i in range(1, draw(st.integers(1, 4)) + 1):
                line = f"{draw(st.integers(1, 20)) if draw(st.booleans()) else i}. {draw(TEXT)}"
                if draw(st.booleans()):
                    line += "：" + "；".join(draw(st.lists(TEXT, min_size=1, max_size=3)))
                out.append(line)
                if draw(st.booleans()):
                    out.append(f"   - {draw(TEXT)}")
                if draw(st.booleans()):
                    out.append(f"![](img/{draw(st.integers(0, 9))}.png)")
        for field in ("警告", "注意", "提示"):
            if draw(st.booleans()):
                out += [f"### {field}"] + [f"- {t}" for t in draw(st.lists(TEXT, min_size=1, max_size=2))]
        if draw(st.booleans()):
            out += ["### 说明", f"![](pic/{k}.png)"]
    return "\n".join(out)


@settings(max_examples=150, deadline=None)
@given(manuals())
def test_rendered_manual_imports_back_into_the_same_scenes(text):
    tree = plaxon.markdown_to_tree(text)
    imported = convert_html(tree_to_html(tree).encode("utf-8"))
    assert plaxon.markdown_to_tree(imported.markdown)["children"] == tree["children"]


def test_import_command_writes_the_manual_and_checks_it(tmp_path):
    (tmp_path / "doc.html").write_text(MANUAL_PAGE, encoding="utf-8")
    (tmp_path / "data" / "manuals").mkdir(parents=True)
    proc = run_cli(["import", "doc.html", "-o", "data/manuals/e5.md", "--report", "r.json"], tmp_path)
    assert "data/manuals/e5.md:1: warning:" in proc.stdout  # the vehicle line, from the check
    assert "[text-before-heading]" in proc.stdout and "[chapter-heading]" in proc.stdout
    assert "wrote data/manuals/e5.md: 3 scene(s)" in proc.stderr
    report = json.loads((tmp_path / "r.json").read_text())
    assert report["scenes"] == 3 and report["check"]["by_code"]["table"] == 1
    assert "1 <nav> element(s) were left out" in report["not_mapped"]
    run_cli(["index"], tmp_path)
    entries = (tmp_path / "data" / "scene_index.jsonl").read_text().splitlines()
    assert [json.loads(e)["scene_title"] for e in entries] == ["更换轮胎", "香氛系统", "指示灯"]


@pytest.mark.parametrize("args,files,expect", [
    (["import", "none.html", "-o", "x.md"], {}, "no document none.html"),
    (["import", "a.txt", "-o", "x.md"], {"a.txt": "x"}, "unsupported document type .txt"),
    (["import", "a.html", "-o", "x.txt"], {"a.html": "<h2>A</h2><p>b</p>"}, "a manual's name ends in .md"),
    (["import", "a.html", "-o", "no/such/x.md"], {"a.html": "<h2>A</h2><p>b</p>"}, "cannot write no/such/x.md"),
    (["import", "a.docx", "-o", "x.md"], {"a.docx": "not a zip"}, "a.docx: not a readable DOCX document"),
])
def test_import_errors_leave_nothing_behind(tmp_path, args, files, expect):
    for name, content in files.items():
        (tmp_path / name).write_text(content)
    (tmp_path / "x.md").write_text("old")
    proc = run_cli(args, tmp_path, check=False)
    assert proc.returncode == 2 and expect in proc.stderr, proc.stderr
    assert (tmp_path / "x.md").read_text() == "old"
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(["x.md", *files])


EXAMPLES = Path(__file__).resolve().parent.parent / "examples" / "import"


@pytest.mark.parametrize("name,codes", [
    ("owner_manual.html", {"text-before-heading": 1, "colon-split": 6, "table": 7, "duplicate-title": 1,
                           "long-line": 1}),
    # after its author dealt with the findings only the tables remain (kept beside the scenes)
    ("owner_manual_fixed.html", {"table": 7}),
])
def test_real_sized_manual_imports_and_checks(name, codes):
    result = convert_html((EXAMPLES / name).read_bytes())
    rep = check_bytes(result.markdown.encode(), name)
    assert len(rep.scenes) >= 50
    assert summary(rep.findings)["by_code"] == codes


def test_example_pages_are_the_generators(tmp_path):
    import subprocess
    import sys

    tool = EXAMPLES.parent.parent / "tools" / "make_owner_manual_html.py"
    for flag, name in (([], "owner_manual.html"), (["--fixed"], "owner_manual_fixed.html")):
        subprocess.run([sys.executable, str(tool), *flag, str(tmp_path / name)], check=True, capture_output=True)
        assert (tmp_path / name).read_text() == (EXAMPLES / name).read_text()


def test_missing_extra_is_one_line(tmp_path):
    (tmp_path / "a.html").write_text("<h2>A</h2><p>b</p>")
    proc = run_python("import sys; sys.modules['lxml'] = sys.modules['lxml.html'] = None\n"
                      "from corvane.__main__ import main; sys.exit(main(['import', 'a.html', '-o', 'x.md']))",
                      tmp_path, check=False)
    assert proc.returncode == 2
    assert proc.stderr == "corvane import: error: importing HTML needs lxml: pip install 'corvane[import]'\n"
    assert not (tmp_path / "x.md").exists()


def test_title_for_a_document_without_headings():
    imported = convert_html("<p>正文</p>".encode(), title="保修").markdown
    assert plaxon.markdown_to_tree(imported)["children"] == [scene("保修", "正文")]
    # a document with headings keeps its own
    assert [s["title"] for s in scenes_of_html("<h2>A</h2><p>b</p>")] == ["A"]
