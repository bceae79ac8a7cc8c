"""save_json / append_jsonl write exactly what json.dumps writes, for any value."""
import collections
import enum
import json
import math
import sys

import pytest
from hypothesis import given, strategies as st

from corvane import ostrel

scalars = (
    st.none() | st.booleans()
    | st.integers() | st.integers(min_value=10**30, max_value=10**60) | st.integers(max_value=-10**25)
    | st.floats(allow_nan=True, allow_infinity=True)
    | st.text(st.characters(blacklist_categories=("Cs",)))
    | st.text(alphabet=st.sampled_from('\x00\x01\x1f\x7f"\\/\n\r\t\b\f a中\u2028\U0001f600'))
)
keys = (st.text(max_size=8) | st.integers() | st.floats(allow_nan=True) | st.booleans() | st.none())
values = st.recursive(
    scalars,
    lambda inner: st.lists(inner, max_size=5) | st.tuples(inner, inner) | st.dictionaries(keys, inner, max_size=5),
    max_leaves=30,
)


def written(fn, obj, path) -> str:
    fn(obj, str(path))
    return path.read_bytes().decode("utf-8")


@given(values)
def test_matches_json_dumps(tmp_path_factory, obj):
    folder = tmp_path_factory.mktemp("j")
    assert written(ostrel.save_json, obj, folder / "t.json") == json.dumps(obj, ensure_ascii=False, indent=2)
    line = json.dumps(obj, ensure_ascii=False) + "\n"
    assert written(ostrel.append_jsonl, obj, folder / "i.jsonl") == line
    assert written(ostrel.append_jsonl, obj, folder / "i.jsonl") == line * 2


class Color(enum.IntEnum):
    RED = 3


class S(str):
    pass


class F(float):
    def __repr__(self):
        return "F!"


@pytest.mark.parametrize("obj", [
    Color.RED, S("子类"), F(1.5), {S("k"): F(2.0)}, collections.OrderedDict([("b", 1), ("a", [])]),
    {"big": 10**4000, -(10**40): 1.0e-300, 1e16: 5e-324, float("-inf"): float("nan")},
    [[], {}, [[[]]], {"": {}}], (1, (2, ())),
], ids=repr)
def test_special_values(tmp_path, obj):
    assert written(ostrel.save_json, obj, tmp_path / "t.json") == json.dumps(obj, ensure_ascii=False, indent=2)
    assert written(ostrel.append_jsonl, obj, tmp_path / "i.jsonl") == json.dumps(obj, ensure_ascii=False) + "\n"


def circular():
    a = []
    a.append(a)
    return a


@pytest.mark.parametrize("obj, error, message", [
    ({"a": {1, 2}}, TypeError, "Object of type set is not JSON serializable"),
    ({(1, 2): 3}, TypeError, "keys must be str, int, float, bool or None, not tuple"),
    (circular(), ValueError, "Circular reference detected"),
    ({"x": 10**5000}, ValueError, "Exceeds the limit"),
    (["ok", "lone \ud800 surrogate"], UnicodeEncodeError, "surrogates not allowed"),
    ({"\udfff": 1}, UnicodeEncodeError, "surrogates not allowed"),
    (["\ud800", object()], TypeError, "not JSON serializable"),   # conversion errors come first
])
def test_errors_leave_the_file_alone(tmp_path, obj, error, message):
    for fn, name in ((ostrel.save_json, "t.json"), (ostrel.append_jsonl, "i.jsonl")):
        path = tmp_path / name
        path.write_text("旧内容\n", encoding="utf-8")
        with pytest.raises(error, match=message):
            fn(obj, str(path))
        assert path.read_text(encoding="utf-8") == "旧内容\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["i.jsonl", "t.json"]


def test_deep_nesting_is_a_recursion_error(tmp_path):
    obj = []
    for _ in range(100_000):
        obj = [obj]
    with pytest.raises(RecursionError):
        ostrel.save_json(obj, str(tmp_path / "t.json"))
    assert list(tmp_path.iterdir()) == []


def test_paths_and_missing_folder(tmp_path):
    ostrel.save_json({"a": 1}, tmp_path / "p.json")            # os.PathLike
    assert (tmp_path / "p.json").read_text() == '{\n  "a": 1\n}'
    ostrel.append_jsonl([1], bytes(tmp_path / "b.jsonl"))
    assert (tmp_path / "b.jsonl").read_text() == "[1]\n"
    with pytest.raises(FileNotFoundError) as err:
        ostrel.save_json({}, str(tmp_path / "none" / "x.json"))
    assert err.value.filename == str(tmp_path / "none" / "x.json")
    with pytest.raises(TypeError, match="'path'"):
        ostrel.save_json({}, 3.5)


def test_save_json_replaces_atomically_and_keeps_mode(tmp_path):
    path = tmp_path / "t.json"
    path.write_text("x" * 10000)
    path.chmod(0o640)
    ostrel.save_json([], str(path))
    assert path.read_text() == "[]"
    assert path.stat().st_mode & 0o777 == 0o640
    assert [p.name for p in tmp_path.iterdir()] == ["t.json"]
