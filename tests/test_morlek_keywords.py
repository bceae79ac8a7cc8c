"""The keyword walk over a Scene dict, as morlek and ostrel read it.

One walk (title, description, each step's text and sub-points, warning,
notice, tip) serves both modules; each module keeps its own defaults and
error texts, which callers see and which must not drift.
"""
import pytest

from corvane import morlek, ostrel

TREE = {"type": "document", "doc_name": "m1", "title": "手册"}


def full_scene():
    return {"title": "更换轮胎", "description": "更换 轮胎 前 请 停车 spare",
            "steps": [{"text": "拧紧 螺栓", "sub_points": ["检查 轮胎", "x"]}, {"text": "放下 千斤顶"}],
            "warning": ["小心 烫伤"], "notice": ["注意 安全"], "tip": ["备胎 位置"]}


def record_keywords(scene):
    return ostrel.build_scene_record("m1", TREE, scene, 0)["keywords"]


def test_both_walks_give_the_same_keywords_in_order():
    expected = ["更换轮胎", "更换", "轮胎", "前", "请", "停车", "spare", "拧紧", "螺栓", "检查", "放下", "千斤顶",
                "小心", "烫伤", "注意", "安全", "备胎", "位置"]
    expected = [k for k in expected if len(k) > 1]
    assert morlek.build_keywords_from_scene(full_scene()) == expected
    assert record_keywords(full_scene()) == expected


@pytest.mark.parametrize("change, keywords", [
    (lambda s: s.pop("title"), ["更换", "轮胎", "停车"]),           # missing: nothing, in both
    (lambda s: s.update(description=0), ["更换轮胎"]),                # falsy: skipped, in both
    (lambda s: s.update(description=""), ["更换轮胎"]),
    (lambda s: s.update(steps=()), ["更换轮胎", "更换", "轮胎", "停车"]),
])
def test_defaults_shared_by_both(change, keywords):
    def scene():
        s = {"title": "更换轮胎", "description": "更换 轮胎 停车"}
        change(s)
        return s
    assert morlek.build_keywords_from_scene(scene()) == keywords
    assert record_keywords(scene()) == keywords


@pytest.mark.parametrize("scene, morlek_error, ostrel_error", [
    ({"title": 5}, "build_keywords_from_scene() scene['title'] must be str, not int", "scene title must be str, not int"),
    ({"description": b"x"}, "build_keywords_from_scene() scene['description'] must be str, not bytes",
     "scene description must be str, not bytes"),
    ({"steps": [{"text": 3}]}, "build_keywords_from_scene() a step's 'text' must be str, not int",
     "scene step text must be str, not int"),
    ({"steps": [{"text": "a", "sub_points": [None]}]},
     "build_keywords_from_scene() a step's 'sub_points' item must be str, not NoneType",
     "scene sub_points must be str, not NoneType"),
    ({"steps": [{"text": "a", "sub_points": 7}]}, "'int' object is not iterable", "scene sub_points must be a list, not int"),
    ({"warning": ["a", 1]}, "build_keywords_from_scene() scene['warning'] item must be str, not int",
     "scene warning must be str, not int"),
    ({"notice": [1.5]}, "build_keywords_from_scene() scene['notice'] item must be str, not float",
     "scene notice must be str, not float"),
    ({"tip": 4}, "'int' object is not iterable", "scene tip must be a list, not int"),
    ({"steps": 4}, "'int' object is not iterable", "scene steps must be a list, not int"),
])
def test_each_module_keeps_its_error_texts(scene, morlek_error, ostrel_error):
    with pytest.raises(TypeError) as got:
        morlek.build_keywords_from_scene(scene)
    assert str(got.value) == morlek_error
    with pytest.raises(TypeError) as got:
        record_keywords(scene)
    assert str(got.value) == ostrel_error


def test_steps_that_are_not_dicts():
    with pytest.raises(AttributeError):
        morlek.build_keywords_from_scene({"steps": [3]})  # read through the step's own get()
    with pytest.raises(TypeError, match="^scene steps must be dict, not int$"):
        record_keywords({"steps": [3]})


def renew_texts(scene):
    """Replaces the scene's texts by equal new str objects (the old ones are
    freed; the ASCII word of the description was viewed in place)."""
    for k in ("title", "description"):
        scene[k] = "".join(list(scene[k]))
    for step in scene["steps"]:
        dict.__setitem__(step, "text", "".join(list(dict.__getitem__(step, "text"))))


class Colliding:
    """A key equal in hash to `name`; comparing it (a lookup of `name`) runs `action`."""

    def __init__(self, name, action):
        self.name, self.action, self.armed = name, action, False

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        if self.armed:
            self.action()
        return False


def test_keywords_survive_caller_code_that_swaps_the_texts():
    """Caller code run in the middle of the walk frees the texts already handed
    to it; they stay alive until the keywords are built."""
    expected = morlek.build_keywords_from_scene(full_scene())

    scene = full_scene()

    class Swapping(list):
        def __iter__(self):
            renew_texts(scene)
            return super().__iter__()

    scene["warning"] = Swapping(scene["warning"])
    assert morlek.build_keywords_from_scene(scene) == expected

    scene = full_scene()
    key = Colliding("sub_points", lambda: renew_texts(scene))
    scene["steps"][1][key] = None
    key.armed = True
    assert record_keywords(scene) == expected
