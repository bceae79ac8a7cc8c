"""PDF documents into manuals, on PDFs the test writes with reportlab and a Chinese font
from the system: headings by font size or by the outline, running headers, footers and
page numbers removed, wrapped lines re-joined, steps, boxes by keyword, ruled tables."""
from __future__ import annotations

import json
from pathlib import Path

import pytest

from corvane import plaxon
from corvane.checking.importers import convert_file
from subproc import run_cli

pytest.importorskip("pdfplumber")
canvas_mod = pytest.importorskip("reportlab.pdfgen.canvas")
from reportlab.pdfbase import pdfmetrics  # noqa: E402
from reportlab.pdfbase.ttfonts import TTFont  # noqa: E402

FONT_FILES = [Path("/usr/share/fonts/truetype/wqy/wqy-zenhei.ttc"), Path("/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc")]
FONT = next((f for f in FONT_FILES if f.exists()), None)
if FONT is None:
    pytest.skip("no Chinese font (Debian: fonts-wqy-zenhei)", allow_module_level=True)
pdfmetrics.registerFont(TTFont("CJK", str(FONT), subfontIndex=0))

W, H, LEFT, RIGHT = 595, 842, 50, 545
BODY = 11


class Writer:
    def __init__(self, path, pages_header=True):
        self.c = canvas_mod.Canvas(str(path), pagesize=(W, H))
        self.page = 0
        self.header = pages_header
        self.new_page()

    def new_page(self):
        if self.page:
            self.c.showPage()
        self.page += 1
        self.y = H - 80
        if self.header:
            self.c.setFont("CJK", 9)
            self.c.drawString(LEFT, H - 40, "Aster E5 用户手册")
            self.c.drawString(W / 2, 30, f"第 {self.page} 页")

    def line(self, text, size=BODY, gap=1.5):
        self.c.setFont("CJK", size)
        self.c.drawString(LEFT, self.y, text)
        self.y -= size * gap

    def para(self, text, size=BODY):
        """Wraps at the right margin, as a typesetter would."""
        self.c.setFont("CJK", size)
        while text:
            n = len(text)
            while pdfmetrics.stringWidth(text[:n], "CJK", size) > RIGHT - LEFT:
                n -= 1
            self.line(text[:n], size, 1.3)
            text = text[n:]
        self.y -= size * 0.6

    def table(self, rows, col=150, row_h=20):
        top = self.y + BODY
        self.c.setFont("CJK", BODY)
        for r, cells in enumerate(rows):
            for k, cell in enumerate(cells):
                self.c.drawString(LEFT + 5 + k * col, top - (r + 1) * row_h + 6, cell)
        for r in range(len(rows) + 1):
            self.c.line(LEFT, top - r * row_h, LEFT + col * len(rows[0]), top - r * row_h)
        for k in range(len(rows[0]) + 1):
            self.c.line(LEFT + k * col, top, LEFT + k * col, top - len(rows) * row_h)
        self.y = top - len(rows) * row_h - 2 * BODY

    def bookmark(self, title, level):
        key = f"k{self.page}_{int(self.y)}"
        self.c.bookmarkHorizontal(key, 0, self.y + 20)
        self.c.addOutlineEntry(title, key, level=level)

    def save(self):
        self.c.save()


LONG = ("车辆行驶中轮胎漏气时，请先打开危险警告灯，将车辆缓慢停放在远离车流的安全区域，"
        "拉起电子驻车制动，所有乘员撤离到护栏外侧，再按以下步骤更换备用轮胎。")


def write_manual_pdf(path):
    w = Writer(path)
    w.line("第一章 日常使用", 20, 2)
    w.line("更换轮胎", 16, 2)
    w.para(LONG)
    w.line("1. 打开危险警告灯。")
    w.line("2. 取出随车工具：千斤顶；轮胎扳手")
    w.line("警告！车辆顶起时严禁进入车底。", gap=2)
    w.new_page()
    w.line("胎压", 16, 2)
    w.table([["轮胎", "冷态胎压"], ["前轮", "250 kPa"]])
    w.line("说明！请在冷态时测量。")
    w.save()


def scenes_of(path):
    result = convert_file(path)
    return plaxon.markdown_to_tree(result.markdown)["children"], result


def test_pdf_maps_onto_scenes(tmp_path):
    write_manual_pdf(tmp_path / "m.pdf")
    scenes, result = scenes_of(tmp_path / "m.pdf")
    assert [s["title"] for s in scenes] == ["更换轮胎", "胎压"]
    tyre, pressure = scenes
    assert tyre["description"] == LONG  # the wrapped line re-joined, without a space between Chinese characters
    assert [(s["index"], s["text"], s["sub_points"]) for s in tyre["steps"]] == [
        (1, "打开危险警告灯。", []), (2, "取出随车工具", ["千斤顶", "轮胎扳手"])]
    assert tyre["warning"] == ["车辆顶起时严禁进入车底。"]
    assert pressure["description"].splitlines()[:3] == ["| 轮胎 | 冷态胎压 |", "|---|---|", "| 前轮 | 250 kPa |"]
    assert pressure["tip"] == ["请在冷态时测量。"]
    # the running header and the page numbers are gone, and the report says so
    assert "Aster E5 用户手册" not in result.markdown and "第 1 页" not in result.markdown
    assert any("running header" in n for n in result.notes)


def test_outline_gives_the_headings(tmp_path):
    """All text in one size: only the bookmarks tell the headings."""
    w = Writer(tmp_path / "o.pdf", pages_header=False)
    w.bookmark("充电", 0)
    w.line("充电")
    w.bookmark("交流充电", 1)
    w.line("交流充电")
    w.line("1. 打开充电口盖。")
    w.line("2. 插入充电枪。")
    w.bookmark("直流充电", 1)
    w.line("直流充电")
    w.line("注意！充电时请勿启动车辆。")
    w.save()
    scenes, _ = scenes_of(tmp_path / "o.pdf")
    assert [(s["title"], [x["text"] for x in s["steps"]], s["notice"]) for s in scenes] == [
        ("交流充电", ["打开充电口盖。", "插入充电枪。"], []), ("直流充电", [], ["充电时请勿启动车辆。"])]


def test_import_command_on_pdf(tmp_path):
    write_manual_pdf(tmp_path / "m.pdf")
    (tmp_path / "data" / "manuals").mkdir(parents=True)
    proc = run_cli(["import", "m.pdf", "-o", "data/manuals/m.md"], tmp_path)
    assert "[colon-split]" in proc.stdout  # the check of the output reports the split step
    run_cli(["index"], tmp_path)
    titles = [json.loads(line)["scene_title"] for line in (tmp_path / "data/scene_index.jsonl").read_text().splitlines()]
    assert titles == ["更换轮胎", "胎压"]


def test_pdf_without_text_is_refused(tmp_path):
    c = canvas_mod.Canvas(str(tmp_path / "scan.pdf"), pagesize=(W, H))
    c.rect(100, 100, 200, 200)  # a scanned page has pictures, not text
    c.save()
    (tmp_path / "fake.pdf").write_bytes(b"%PDF-1.4 not really")
    for name, expect in (("scan.pdf", "no text in the document"), ("fake.pdf", "not a readable PDF document")):
        proc = run_cli(["import", name, "-o", "x.md"], tmp_path, check=False)
        assert proc.returncode == 2 and f"corvane import: error: {name}: " in proc.stderr and expect in proc.stderr
        assert not (tmp_path / "x.md").exists()
