"""Tables beside the scenes: header and rows, the text rows for the answer context, the
search text, and the scene ids they are filed under."""
from __future__ import annotations

import pytest

from corvane import plaxon
from corvane.checking.tables import (answer_context_rows, data_folder_tables, manual_tables, scene_tables,
                                     table_html, table_search_text)

MANUAL = """# 第一章
## 充电
充电前请确认。
### 说明
| 指示灯 | 含义 |
|:---|---:|
| 充电指示灯 | 正在充电 |
| 故障灯 \\| 红色 |  |
## 胎压
| 前轮 | 250 kPa |
| 后轮 | 270 kPa |
### 操作步骤
| 不读 | 步骤前 |
| 丢弃 | 的表 |
1. 检查
## 保险丝
正文
### 子节
#### 更深
| 丢失 | 的表 |
| 不算 | 数 |
"""


def test_tables_per_scene():
    tables = scene_tables(MANUAL)
    assert list(tables) == [0, 1]  # the table too deep for its scene and the one before step 1 are dropped
    (charge,), (tyres,) = tables[0], tables[1]
    assert charge == {"line": 5, "header": ["指示灯", "含义"], "rows": [["充电指示灯", "正在充电"], ["故障灯 | 红色", ""]],
                      "text_rows": ["指示灯：充电指示灯；含义：正在充电", "指示灯：故障灯 | 红色"]}
    assert tyres["header"] == [] and tyres["text_rows"] == ["前轮 | 250 kPa", "后轮 | 270 kPa"]
    # the specified scene output keeps the table as description text, unchanged
    scenes = plaxon.markdown_to_tree(MANUAL)["children"]
    assert "| 充电指示灯 | 正在充电 |" in scenes[0]["description"]


def test_text_for_search_answers_and_the_page():
    t = scene_tables(MANUAL)[0]
    assert table_search_text(t) == "指示灯 含义\n充电指示灯 正在充电\n故障灯 | 红色"
    assert answer_context_rows(t) == "指示灯：充电指示灯；含义：正在充电\n指示灯：故障灯 | 红色"
    page = table_html({"header": ["<a>"], "rows": [["x&y"]]})
    assert page == "<table><thead><tr><th>&lt;a&gt;</th></tr></thead><tbody><tr><td>x&amp;y</td></tr></tbody></table>"


def test_scene_ids_match_the_index_run(tmp_path):
    manuals = tmp_path / "manuals"
    manuals.mkdir()
    (manuals / "e5.md").write_text(MANUAL, encoding="utf-8")
    (manuals / "bad.md").write_bytes(b"## A\n| a | b |\n| c | \xff |")
    assert list(manual_tables("e5", MANUAL)) == ["e5_scene_1", "e5_scene_2"]
    assert list(data_folder_tables(tmp_path)) == ["e5_scene_1", "e5_scene_2"]


@pytest.mark.parametrize("bad", [None, 3, ["| a |"]])
def test_bad_input_is_a_type_error(bad):
    with pytest.raises(TypeError):
        scene_tables(bad)
