"""Word documents into manuals: heading styles, numbered and bulleted paragraphs, boxes,
tables and images, on documents the test writes with python-docx."""
from __future__ import annotations

import base64
import json

import pytest

from corvane import plaxon
from corvane.checking.importers import convert_file
from subproc import run_cli

docx = pytest.importorskip("docx")

# a 1x1 PNG
PNG = base64.b64decode("iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mNk+M9QDwADhgGAWjR9awAAAABJRU5ErkJggg==")


def write_manual_docx(path, tmp_path):
    d = docx.Document()
    d.add_paragraph("本手册适用于 Aster E5。")
    d.add_heading("第一章 日常使用", level=1)
    d.add_heading("更换轮胎", level=2)
    d.add_paragraph("轮胎漏气时，请先将车辆停放在安全区域。")
    d.add_paragraph("打开危险警告灯。", style="List Number")
    d.add_paragraph("取出随车工具", style="List Number")
    d.add_paragraph("千斤顶", style="List Number 2")
    (tmp_path / "tools.png").write_bytes(PNG)
    d.add_picture(str(tmp_path / "tools.png"))
    d.add_paragraph("警告！车辆顶起时严禁进入车底。")
    d.add_paragraph("检查胎压", style="List Bullet")
    d.add_heading("香氛系统", level=2)
    d.add_heading("注意事项", level=3)
    d.add_paragraph("请勿自行拆卸香氛盒。")
    d.add_heading("胎压", level=2)
    t = d.add_table(rows=2, cols=2)
    for r, row in enumerate([["轮胎", "冷态胎压"], ["前轮", "250 kPa"]]):
        for c, text in enumerate(row):
            t.cell(r, c).text = text
    d.add_paragraph("提示：冷态时测量。")
    d.save(str(path))


def test_docx_maps_onto_scenes(tmp_path):
    write_manual_docx(tmp_path / "m.docx", tmp_path)
    result = convert_file(tmp_path / "m.docx")
    scenes = plaxon.markdown_to_tree(result.markdown)["children"]
    assert [s["title"] for s in scenes] == ["更换轮胎", "香氛系统", "胎压"]
    tyre, scent, pressure = scenes
    assert tyre["description"] == "轮胎漏气时，请先将车辆停放在安全区域。\n- 检查胎压"
    assert [(s["index"], s["text"], s["sub_points"]) for s in tyre["steps"]] == [
        (1, "打开危险警告灯。", []), (2, "取出随车工具", ["千斤顶"])]
    # the picture after step 2 is that step's, at its name inside the document
    assert [i["url"] for i in tyre["steps"][1]["images"]] == ["media/image1.png"]
    assert tyre["warning"] == ["车辆顶起时严禁进入车底。"]
    assert scent["notice"] == ["请勿自行拆卸香氛盒。"]
    assert pressure["description"].splitlines()[0] == "| 轮胎 | 冷态胎压 |"
    assert pressure["tip"] == ["冷态时测量。"]
    assert any("media/" in n for n in result.notes)


def test_numbering_restarts_under_each_heading(tmp_path):
    d = docx.Document()
    for title in ("甲", "乙"):
        d.add_heading(title, level=2)
        d.add_paragraph("第一步", style="List Number")
        d.add_paragraph("第二步", style="List Number")
    d.save(str(tmp_path / "n.docx"))
    scenes = plaxon.markdown_to_tree(convert_file(tmp_path / "n.docx").markdown)["children"]
    assert [[s["index"] for s in sc["steps"]] for sc in scenes] == [[1, 2], [1, 2]]


def test_import_command_on_docx(tmp_path):
    write_manual_docx(tmp_path / "m.docx", tmp_path)
    (tmp_path / "data" / "manuals").mkdir(parents=True)
    proc = run_cli(["import", "m.docx", "-o", "data/manuals/m.md"], tmp_path)
    assert "not mapped:" in proc.stdout and "wrote data/manuals/m.md: 3 scene(s)" in proc.stderr
    run_cli(["index"], tmp_path)
    titles = [json.loads(line)["scene_title"] for line in (tmp_path / "data/scene_index.jsonl").read_text().splitlines()]
    assert titles == ["更换轮胎", "香氛系统", "胎压"]
