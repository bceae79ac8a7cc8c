"""Values put into prompts appear exactly as the host's repr shows them."""
import collections
import enum

from hypothesis import given, strategies as st

from corvane import vendry

PREFIX = "\n            你是Brevane汽车助手。擅于回答<q>\n            请严格根据以下知识回答用户问题，不要编造。\n\n            用户问题：\n            q\n\n            知识：\n            "
SUFFIX = "\n            "


def knowledge(value):
    prompt = vendry.build_prompt("q", value)
    assert prompt.startswith(PREFIX) and prompt.endswith(SUFFIX)
    return prompt[len(PREFIX): -len(SUFFIX)]


scalars = st.one_of(
    st.none(), st.booleans(), st.integers(), st.integers(min_value=-(10**60), max_value=10**60),
    st.floats(allow_nan=True, allow_infinity=True),
    st.text(st.characters(codec=None, categories=None)), st.sampled_from(["it's", 'say "hi"', "both ' \"", "\\", "\x7f\x85\u3000\u2028\ud800\U0001f600\U000e0001"]),
)
values = st.recursive(
    scalars,
    lambda inner: st.one_of(
        st.lists(inner, max_size=4), st.lists(inner, max_size=3).map(tuple),
        st.dictionaries(st.one_of(st.text(max_size=5), st.integers(), st.none()), inner, max_size=4),
    ),
    max_leaves=25,
)


@given(values)
def test_text_form_is_the_hosts_repr(value):
    expected = value if isinstance(value, str) else repr(value)
    assert knowledge(value) == expected


class Color(enum.IntEnum):
    RED = 1


class Quiet(dict):
    def __repr__(self):
        return "<quiet>"


def test_other_types_and_recursion_use_their_own_repr():
    loop = [1]
    loop.append(loop)
    d = {"k": 1}
    d["self"] = d
    for value in (loop, d, {"e": Color.RED}, [Quiet(a=1)], collections.OrderedDict(a=1), {1.5: -0.0},
                  (1,), (), {"s": {1, 2}}, [10**100], object):
        assert knowledge(value) == repr(value)
