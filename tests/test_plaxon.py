"""corvane.plaxon against plain definitions, plus the cases that broke parsers before."""
import re
import sys

import pytest
from hypothesis import given, strategies as st

import plain_reference as ref
from corvane import plaxon
from golden_runner import assert_same

SPACES = [chr(c) for c in range(0x110000) if chr(c).isspace()]
DIGITS = ["0", "1", "9", "１", "٣", "০", "𝟘", "߁"]
SYNTAX = list("#.-!()[]：；;: \t\n\r") + ["![](", "![](a.png)", "---", "1. ", "- ", "## ", "说明", "操作步骤", "注意"]
OTHER = ["a", "Z", "更", "换", "İ", "Σ", "\u200b", "\ufeff", "\x00", "\ud800", "\udfff", "😀", "\x85"]

atoms = st.one_of(
    st.sampled_from(SPACES + DIGITS + SYNTAX + OTHER),
    st.characters(codec=None, categories=None),
)
texts = st.lists(atoms, max_size=40).map("".join)


def test_whitespace_is_exactly_the_hosts():
    assert len(SPACES) == 29
    for ch in SPACES:
        assert plaxon.clean_text("a" + ch + "b") == "a b"
        assert plaxon.is_blank(ch * 3)
    for ch in ["\u200b", "\ufeff", "\u180e", "x", "\ud800"]:
        assert not plaxon.is_blank(ch)


@given(texts)
def test_text_functions_match_plain_definitions(s):
    assert plaxon.clean_text(s) == ref.clean_text(s)
    assert plaxon.is_blank(s) == ref.is_blank(s)
    assert plaxon.extract_image_urls(s) == ref.extract_image_urls(s)
    assert plaxon.strip_images(s) == ref.strip_images(s)
    assert plaxon.clean_text(plaxon.clean_text(s)) == plaxon.clean_text(s)


@given(texts)
def test_line_patterns_match_plain_definitions(line):
    for field in ("steps", "warning", "description"):
        ours, theirs = plaxon.make_scene("S"), ref.make_scene("S")
        plaxon.parse_field_into_scene(ours, field, [line])
        ref.parse_field_into_scene(theirs, field, [line])
        assert_same(ours, theirs)
    ours = plaxon.parse_markdown_heading_tree(line)
    assert_same(ours, ref.parse_markdown_heading_tree(line))


@given(st.lists(st.one_of(texts, st.sampled_from(["# 第一章", "## 场景", "### 操作步骤", "### 注意", "#### 子",
                                                  "1. 打开：检查；确认", "- 项", "![](x.png)", "说明"])), max_size=25))
def test_whole_manual_matches_plain_definitions(lines):
    text = "\n".join(lines)
    assert_same(plaxon.markdown_to_tree(text, "doc"), ref.markdown_to_tree(text, "doc"))
    tree = ref.parse_markdown_heading_tree(text)
    assert_same(plaxon.parse_markdown_heading_tree(text), tree)
    assert_same(plaxon.collect_scenes_from_heading_tree(tree), ref.collect_scenes_from_heading_tree(tree))


def test_step_numbers_are_exact_ints():
    scene = plaxon.make_scene("S")
    forty = "1234567890" * 4
    plaxon.parse_field_into_scene(scene, "steps", ["000123. a", "１. b", f"{forty}. c", "٣٤. d", "0. e"])
    assert [s["index"] for s in scene["steps"]] == [123, 1, int(forty), 34, 0]
    assert all(type(s["index"]) is int for s in scene["steps"])
    plaxon.parse_field_into_scene(scene, "steps", ["007. x", "![](p.png)"])
    assert scene["steps"][-1]["images"] == [{"url": "p.png", "position": "step_7", "caption": "S-步骤7图片"}]


def test_numeral_past_the_hosts_digit_limit_raises_like_int():
    limit = sys.get_int_max_str_digits()
    if limit == 0:
        pytest.skip("no digit limit in this interpreter")
    ok = "9" * limit
    tree = plaxon.markdown_to_tree(f"# A\n## 操作步骤\n{ok}. x")
    assert tree["children"][0]["steps"][0]["index"] == int(ok)
    for numeral in ("1" * (limit + 1), "0" * limit + "1"):
        with pytest.raises(ValueError, match="digits"):
            plaxon.markdown_to_tree(f"# A\n## 操作步骤\n{numeral}. x")
        with pytest.raises(ValueError):
            plaxon.parse_field_into_scene(plaxon.make_scene("A"), "steps", [f"{numeral}. x"])
    assert sys.get_int_max_str_digits() == limit


def test_field_parsers_change_the_callers_scene_in_place():
    scene = plaxon.make_scene("A")
    steps, images = scene["steps"], scene["images"]
    plaxon.parse_field_into_scene(scene, "steps", ["![](s.png)", "1. 打开：检查；确认", "- 注意安全", "继续", "![](x.png)", "2. 关闭"])
    plaxon.parse_free_content_into_scene(scene, ["说明文字", "- 项目"])
    assert scene["steps"] is steps and scene["images"] is images
    assert steps[0] == {"index": 1, "text": "打开 继续", "sub_points": ["检查", "确认", "注意安全"],
                        "images": [{"url": "x.png", "position": "step_1", "caption": "A-步骤1图片"}]}
    assert steps[1]["text"] == "关闭"
    assert images == [{"url": "s.png", "position": "scene", "caption": "A相关图片"}]
    assert scene["description"] == "说明文字\n- 项目"


@pytest.mark.parametrize(
    "text, titles",
    [
        ("", []),
        ("just text\nmore", []),
        ("# 注意\n小心\n## 子\n内容", []),
        ("# 第一章\n## 场景一\n内容", ["场景一"]),
        ("# 第一章\n章节介绍\n## 场景一\n内容", ["第一章"]),
        ("# 附录\n## 注意\n内容\n## 别的\n文字", ["附录"]),
        ("#标题\n   # 缩进\n####### 七\n#", []),
        ("# A\r\n## B\r\nb1\r\n", ["B"]),
    ],
)
def test_which_headings_become_scenes(text, titles):
    assert [s["title"] for s in plaxon.markdown_to_tree(text)["children"]] == titles


def test_scene_absorbs_subheadings_but_not_deeper_ones():
    (scene,) = plaxon.markdown_to_tree("## C\n正文\n### 子标题\n子正文\n#### 更深\n丢失")["children"]
    assert scene["description"] == "正文\n子标题\n子正文"
    tree = plaxon.markdown_to_tree("## D\n### 操作步骤\n#### 拆卸\n1. 松开\n#### 安装\n1. 拧紧\n### 操作步骤\n3. 再来")
    assert [(s["index"], s["text"]) for s in tree["children"][0]["steps"]] == [(1, "松开"), (1, "拧紧"), (3, "再来")]


def test_root_title_and_lines():
    root = plaxon.parse_markdown_heading_tree("Intro\n# A\na1\n## B\n  - 第一项\t \n# C", "manual_a")
    assert root["title"] == "manual_a" and root["content_lines"] == ["Intro"]
    assert [c["title"] for c in root["children"]] == ["A", "C"]
    assert root["children"][0]["children"][0]["content_lines"] == ["  - 第一项"]
    assert plaxon.parse_markdown_heading_tree("", "", "  标题 ")["title"] == "  标题 "
    assert plaxon.parse_markdown_heading_tree("##   更换   轮胎  ")["children"][0]["title"] == "更换 轮胎"


def test_lone_surrogates_are_ordinary_characters():
    text = "# \ud800标题\n\udfff 1. x\n## 操作步骤\n1. a\udc00b：\ud83d；c"
    assert_same(plaxon.markdown_to_tree(text), ref.markdown_to_tree(text))
    assert plaxon.clean_text(" \ud800  \udfff ") == "\ud800 \udfff"


def test_module_constants():
    assert isinstance(plaxon.HEADING_RE, re.Pattern) and plaxon.HEADING_RE.pattern == r"^(#{1,6})\s+(.*)$"
    assert plaxon.IMAGE_RE.pattern == r"!\[\]\((.*?)\)"
    assert plaxon.STEP_RE.pattern == r"^\s*(\d+)\.\s+(.*)$"
    assert plaxon.BULLET_RE.pattern == r"^\s*-\s+(.*)$"
    assert list(plaxon.FIELD_TITLES.items()) == list(ref.FIELD_TITLES.items())


@pytest.mark.parametrize(
    "call",
    [
        lambda: plaxon.clean_text(None),
        lambda: plaxon.markdown_to_tree(b"# A"),
        lambda: plaxon.markdown_to_tree("# A", doc_name=None),
        lambda: plaxon.make_step("1", "x"),
        lambda: plaxon.make_heading_node("t", 1.0),
        lambda: plaxon.parse_field_into_scene([], "steps", []),
        lambda: plaxon.parse_field_into_scene({}, "steps", ["ok", 3]),
        lambda: plaxon.heading_node_to_scene({"title": 5, "level": 1, "content_lines": [], "children": []}),
    ],
)
def test_wrong_types_are_rejected(call):
    with pytest.raises(TypeError):
        call()


def test_type_errors_name_the_parameter():
    with pytest.raises(TypeError, match="'doc_name'"):
        plaxon.markdown_to_tree("x", doc_name=3)
    with pytest.raises(TypeError, match="'index'"):
        plaxon.make_step(index=None, text="x")
    assert plaxon.make_step(True, "x")["index"] is True  # bool is an int


# Every representation of a str (1-, 2- and 4-byte code units, with and without
# lone surrogates) goes through one UTF-8 path; it must give the same text back
# and leave no cached UTF-8 copy on the caller's str (sys.getsizeof counts it).
@pytest.mark.parametrize("text", ["  plain  ascii ", " é  ü\xa0 x ", " 更换   轮胎 ", " 😀  𝄞 更 ", " a\ud800  \udfffb "])
def test_text_of_every_width_round_trips_without_side_effects(text):
    s = "".join(list(text))  # a new str: nothing cached on it yet
    size = sys.getsizeof(s)
    assert plaxon.clean_text(s) == ref.clean_text(s)
    lines = [s, s + "![](x.png)"]
    scene = plaxon.make_scene("t")
    plaxon.parse_free_content_into_scene(scene, lines)
    assert scene["description"] == "\n".join(ref.clean_text(x) for x in [s, s])
    node = plaxon.make_heading_node(s, 2)
    node["content_lines"] = lines
    assert plaxon.heading_node_to_scene(node)["images"][0]["url"] == "x.png"
    assert sys.getsizeof(s) == size


def heading(title, children=(), lines=("说明文字",)):
    return {"title": title, "level": 1, "content_lines": list(lines), "children": list(children)}


@pytest.mark.parametrize("fn", [plaxon.heading_node_to_scene, plaxon.collect_scenes_from_heading_tree])
def test_nesting_past_the_recursion_limit_raises_recursion_error(fn):
    looped = heading("更换轮胎")
    looped["children"].append(looped)
    deep = heading("底")
    for _ in range(100_000):
        deep = heading("层", [deep], ())
    for node in (looped, deep):
        with pytest.raises(RecursionError, match="heading node"):
            fn(node)
    # Within the limit, depth is no problem.
    nested = heading("底")
    for _ in range(min(sys.getrecursionlimit() // 2, 400)):
        nested = heading("层", [nested], ())
    assert [s["title"] for s in plaxon.collect_scenes_from_heading_tree(nested)] == ["底"]


def test_heading_node_lines_survive_caller_code_that_empties_them():
    """A colliding key's __eq__ runs while the reader looks up "children": the
    lines it read before are freed by the caller, the scene still has them."""
    class Collide:
        def __init__(self, node):
            self.node, self.armed = node, False

        def __hash__(self):
            return hash("children")

        def __eq__(self, other):
            if self.armed:
                dict.get(self.node, "content_lines").clear()
            return False

    node = heading("更换轮胎", lines=["说明" + "文字" * 3, "![](d.png)"])
    key = Collide(node)
    node[key] = None
    key.armed = True
    scene = plaxon.heading_node_to_scene(node)
    assert scene["description"] == "说明文字文字文字" and scene["images"][0]["url"] == "d.png"
