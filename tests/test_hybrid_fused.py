"""The fused hybrid ranker: title matches weighed by how specific they are
instead of pinned, heading paths as a field, owners' typing (Traditional
characters, homophone typos), refusal; heading paths from manuals; the
question transforms of eval --robustness."""
from __future__ import annotations

import json
import struct
import subprocess
import sys
from pathlib import Path

import pytest

from corvane import _engine, _hybrid, plaxon
from corvane.engine import INDEX_FILE, Engine

ROOT = Path(__file__).resolve().parent.parent
DEV = ROOT / "tests" / "data" / "devset"


def entry(title, description="", aliases=(), i=0, manual="m"):
    return {"scene_id": f"{manual}_scene_{i}", "manual_id": manual, "scene_title": title, "aliases": list(aliases),
            "keywords": [], "scene_data": {"type": "scene", "title": title, "description": description,
                                           "images": [], "steps": [], "warning": [], "notice": [], "tip": []}}


def titles(results):
    return [e["scene_title"] for e, *_ in results]


MANUAL = """# 第一章　座椅
## 1.1 座椅加热
### 前排座椅加热
#### 通过中央显示屏调节
在“座椅”页面点击加热图标，共三档。
#### 注意事项
长时间使用高档可能导致低温烫伤。
### 座椅通风
#### 通过中央显示屏调节
在“座椅”页面点击通风图标。
#### 注意事项
请勿覆盖不透气的坐垫。
## 1.2 后排
### 后排座椅放倒
#### 说明
拉动靠背顶部的拉带即可放倒。
#### 警告
靠背未锁止时行李可能冲入乘员舱。
# 第二章　胎压
### 胎压监测
胎压报警灯亮起时请检查轮胎。
"""


def test_scene_paths_follow_the_scene_order():
    paths = _hybrid.scene_paths(MANUAL)
    scenes = plaxon.collect_scenes_from_heading_tree(plaxon.parse_markdown_heading_tree(MANUAL))
    assert len(paths) == len(scenes) == 6
    assert [s["title"] for s in scenes][:2] == ["通过中央显示屏调节", "注意事项"]
    assert paths[0] == ["第一章 座椅", "1.1 座椅加热", "前排座椅加热"]  # titles cleaned as scene titles are
    assert paths[2] == ["第一章 座椅", "1.1 座椅加热", "座椅通风"]
    assert paths[4] == ["第一章 座椅", "1.2 后排"]      # a scene with field headings is the topic itself
    assert paths[5] == ["第二章 胎压"]
    assert _hybrid.scene_paths("") == [] and _hybrid.scene_paths("只有正文\n") == []
    # the development manual: one path per indexed scene
    dev = (DEV / "manuals" / "velmar_t6_owner.md").read_text(encoding="utf-8")
    dev_scenes = plaxon.collect_scenes_from_heading_tree(plaxon.parse_markdown_heading_tree(dev))
    assert len(_hybrid.scene_paths(dev)) == len(dev_scenes) >= 250
    with pytest.raises(TypeError, match="markdown"):
        _hybrid.scene_paths(b"# x")


def _indexed(tmp_path, manual_text, name="m"):
    data = tmp_path / "data"
    (data / "manuals").mkdir(parents=True)
    (data / "manuals" / f"{name}.md").write_text(manual_text, encoding="utf-8")
    subprocess.run([sys.executable, "-m", "corvane", "index"], cwd=tmp_path, check=True, capture_output=True)
    return data


def test_heading_path_picks_among_generic_sub_headings(tmp_path):
    data = _indexed(tmp_path, MANUAL)
    # scene ids count from 1: 1, 2 under 前排座椅加热; 3, 4 under 座椅通风
    questions = {"座椅通风怎么开": "m_scene_3", "座椅通风的注意事项": "m_scene_4", "前排座椅加热的注意事项": "m_scene_2"}

    def tops():
        with Engine(data, ranker="hybrid") as eng:
            return {q: eng.search(q, 3)[0][0]["scene_id"] for q in questions}

    assert tops() == questions
    # Without the manual beside the index no path is known, and the topic
    # named only in the parent heading is lost.
    (data / "manuals" / "m.md").unlink()
    (data / "scene_index.cvx").unlink()
    assert tops() != questions


def test_a_short_generic_title_is_not_pinned_above_the_answer():
    entries = [entry("中控屏", "中控屏是车辆的信息娱乐中心。", i=0),
               entry("系统重启", "中控屏黑屏或卡死时，同时长按方向盘两侧滚轮 10 秒即可重启。", i=1)]
    q = "中控屏黑屏卡死了怎么重启"
    assert titles(_hybrid.HybridIndex(entries, fused=False).search(q, 2))[0] == "中控屏"  # the cascade pins it
    assert titles(_hybrid.HybridIndex(entries).search(q, 2))[0] == "系统重启"
    # a title that is the whole question still comes first
    assert titles(_hybrid.HybridIndex(entries).search("中控屏", 2))[0] == "中控屏"


TYPING = [entry("胎压监测（TPMS）", "胎压报警灯亮起时请检查轮胎气压。", ["TPMS"], i=0),
          entry("补胎工具", "本车未配备备胎，行李厢地板下有补胎液和充气泵。", i=1),
          entry("后排座椅放倒", "拉动靠背顶部的拉带即可放倒后排座椅。", i=2)]


@pytest.mark.parametrize("question, want", [
    ("胎壓報警燈亮了怎麼辦", "胎压监测（TPMS）"),     # Traditional
    ("後排座椅怎麼放倒", "后排座椅放倒"),
    ("胎亚报警灯亮了", "胎压监测（TPMS）"),           # pinyin slip: 亚 for 压
    ("备台在哪", "补胎工具"),                         # 台 for 胎
    ("ＴＰＭＳ报警", "胎压监测（TPMS）"),              # full-width Latin
    ("tpms 是什么", "胎压监测（TPMS）"),
])
def test_owners_typing(question, want):
    h = _hybrid.HybridIndex(TYPING, threshold=0)  # three scenes: recognition, not refusal, is tested here
    assert titles(h.search(question, 1)) == [want], question


def test_homophones_count_less_than_the_real_term():
    h = _hybrid.HybridIndex(TYPING, threshold=0)
    exact = h.search("胎压报警", 1)[0][1]
    slip = h.search("胎亚报警", 1)[0][1]
    assert 0 < slip < exact
    # a term the index holds is not replaced by its homophones
    assert h.search("胎压", 3) == _hybrid.HybridIndex(TYPING, threshold=0, fusion={"homophone": 0}).search("胎压", 3)


def test_refusal_and_parameters():
    h = _hybrid.HybridIndex(TYPING)
    assert h.fused and not _hybrid.HybridIndex(TYPING, fused=False).fused
    assert h.search("违章记录怎么查", 5) == [] and h.search("", 5) == [] and h.search("胎压", 0) == []
    assert _hybrid.HybridIndex([]).search("胎压", 5) == []
    assert all(isinstance(s, float) for _, s in h.search("胎压报警", 3))
    for kwargs, exc, text in [
        (dict(fusion={"nope": 1}), ValueError, "unknown weight 'nope'"),
        (dict(fusion={"cover": -1}), ValueError, "0 or more"),
        (dict(fusion={"cover": "1"}), TypeError, "fusion"),
        (dict(fused=1), TypeError, "fused"),
        (dict(paths=[["a"]]), ValueError, "one list per entry"),
        (dict(paths=[["a"], [1], []]), TypeError, "paths"),
    ]:
        with pytest.raises(exc, match=text):
            _hybrid.HybridIndex(TYPING, **kwargs)


GLOSSARY = [entry("自适应远光", "自适应远光（ADB）通过前视摄像头识别前方和对向车辆，自动遮挡对应区域的光线，避免炫目。"
                         "车速高于 40 km/h 且环境较暗时启用。", i=0),
            entry("车道保持辅助", "车道保持辅助在车辆偏离车道时轻微修正方向。", i=1),
            entry("后排座椅放倒", "拉动靠背顶部的拉带即可放倒后排座椅。", i=2)]
GLOSSARY += [entry(f"保养项目 {i}", "按保养周期检查车辆。", i=i) for i in range(3, 40)]


@pytest.mark.parametrize("question", ["ADB", "ADB 是什么", "什么是ADB", "adb是啥意思"])
def test_an_abbreviation_one_scene_defines_is_answered(question):
    """A lone rare term scores below the refusal threshold; a question every term of which one
    scene holds is answered all the same (whole_match), and definitional forms are question words."""
    assert titles(_hybrid.HybridIndex(GLOSSARY).search(question, 1)) == ["自适应远光"]
    assert _hybrid.HybridIndex(GLOSSARY, fusion={"whole_match": 0}).search(question, 1) == []


def test_whole_match_needs_every_term_in_one_scene():
    h = _hybrid.HybridIndex(GLOSSARY)
    assert h.search("ADB 检查", 1) == []        # both held, by different scenes, each scoring little
    assert h.search("ADB 违章", 1) == []        # a term the index lacks
    ev = h.fused_features("ADB", 3)
    assert not ev["refused"] and ev["refusal"]["held"] == 1.0


FILLER = [entry(f"保养项目 {i}", "按保养周期检查车辆。", i=i) for i in range(2, 40)]


def test_a_synonym_key_typed_with_a_pinyin_slip_still_expands():
    scenes = [entry("危险警告灯", "按下危险警告灯开关，四个转向灯同时闪烁，提醒后方车辆。", i=0),
              entry("电子驻车制动", "停车后拉起电子驻车开关即可驻车。", i=1)] + FILLER
    syn = {"双闪": ["危险警告灯"], "手刹": ["驻车制动", "电子驻车"]}
    h = _hybrid.HybridIndex(scenes, synonyms=syn)
    assert titles(h.search("霜闪怎么开", 1)) == titles(h.search("双闪怎么开", 1)) == ["危险警告灯"]  # 霜 for 双
    assert titles(h.search("手傻在哪", 1)) == ["电子驻车制动"]  # the key's wording is not in the question at all
    # two slips in one key, or a character of another reading, are not the key
    assert h.search("霜善怎么开", 1) == [] and h.search("双门怎么开", 1) == []
    # the cascade reads keys as they are written
    assert _hybrid.HybridIndex(scenes, synonyms=syn, fused=False).search("霜闪怎么开", 1) == []


def test_whole_match_reads_a_missing_term_through_its_homophones():
    scenes = [entry("胎压监测", "胎压报警灯亮起时请检查轮胎气压。", i=0), entry("补胎", "轮胎扎钉可以补。", i=1)] + FILLER
    strict = _hybrid.HybridIndex(scenes, threshold=3)  # the text score alone refuses a slip
    assert titles(strict.search("胎亚报警", 1)) == ["胎压监测"] and strict.fused_features("胎亚报警", 3)["whole"]
    assert _hybrid.HybridIndex(scenes, threshold=3, fusion={"whole_match": 0}).search("胎亚报警", 1) == []
    # a term with no homophone in the index, or two slips in one term, still refuse
    assert strict.search("胎亚违章", 1) == [] and strict.search("台亚报警", 1) == []


def test_partial_terms_rank_a_scene_sharing_only_a_rare_character():
    scenes = [entry("拖车", "需要拖车时，请使用平板拖车运输车辆。", i=0),
              entry("车辆涉水", "涉水深度不得超过 30 厘米，请低速通过。", i=1)] + FILLER
    q = "车能拖着走吗"  # 拖车 shares only 拖 with it
    off = _hybrid.HybridIndex(scenes, threshold=0)
    assert off.search(q, 1) == []  # at the shipped weight 0: no term in common, nothing found
    on = _hybrid.HybridIndex(scenes, threshold=0, fusion={"partial": 0.6})
    assert titles(on.search(q, 1)) == ["拖车"] and on.fused_features(q, 3)["candidates"][0]["features"]["partial"] > 0
    # ranking only: the refusal evidence is the same with the feature on
    assert on.fused_features(q, 3)["refusal"]["text"] == off.fused_features(q, 3)["refusal"]["text"]
    assert _hybrid.HybridIndex(scenes, fusion={"partial": 0.6}).search(q, 1) == []  # refused as before


def test_engine_fusion_weights_are_checked(tmp_path):
    data = _indexed(tmp_path, MANUAL)
    with Engine(data) as eng:
        snap = eng._current()
        syn = eng._synonyms_of(snap)
        with pytest.raises(ValueError, match="unknown weight"):
            snap.index.search_hybrid("座椅", 3, syn, True, {"bogus": 1.0})
        with pytest.raises(ValueError, match="0 or more"):
            snap.index.search_hybrid("座椅", 3, syn, True, {"path": float("nan")})
        assert snap.index.search_hybrid("座椅", 3, syn, True, {"threshold": 0.0})


def test_compiled_file_without_the_fused_sections_is_recompiled(tmp_path):
    # A compiled file that lacks the title-length or heading-path sections
    # (written before they existed) is not served; the engine compiles anew.
    data = _indexed(tmp_path, MANUAL)
    cvx = data / "scene_index.cvx"
    raw = bytearray(cvx.read_bytes())
    for tag in (b"BMHP", b"HTLN"):
        at = raw.find(tag)
        assert at > 0
        raw[at:at + 4] = b"XXXX"
    cvx.write_bytes(bytes(raw))
    with Engine(data, ranker="hybrid") as eng:
        assert eng.search("座椅通风怎么开", 1)[0][0]["scene_id"] == "m_scene_3"


def test_heading_paths_are_indexed_once_and_damage_to_their_groups_is_caught(tmp_path):
    # Scenes under one heading share its path: the path field holds each
    # distinct path once (HPGR: entries, paths, then each entry's path).
    data = _indexed(tmp_path, MANUAL)
    cvx = data / "scene_index.cvx"
    raw = bytearray(cvx.read_bytes())
    (count,) = struct.unpack_from("<I", raw, 12)
    rows = {bytes(t): (off, n) for t, _, off, n in (struct.unpack_from("<4sIQQ", raw, 80 + 24 * i) for i in range(count))}
    off, _ = rows[b"HPGR"]
    entries, paths = struct.unpack_from("<II", raw, off)
    assert (entries, paths) == (6, 4)
    assert struct.unpack_from("<6I", raw, off + 8) == (0, 0, 1, 1, 2, 3)
    question = "前排座椅加热的注意事项"
    with Engine(data, ranker="hybrid") as eng:
        assert eng.search(question, 1)[0][0]["scene_id"] == "m_scene_2"
    # The first member of the first path out of range: the walk over paths
    # reports it instead of reading past the section; the engine compiles anew.
    members = off + 8 + 4 * entries + 4 * (paths + 1)
    struct.pack_into("<I", raw, members, 999)
    cvx.write_bytes(_engine._reseal(bytes(raw)))
    index = _engine.open_compiled(str(cvx), str(data / "scene_index.jsonl"))
    with Engine(data, ranker="hybrid") as eng:
        syn = eng._synonyms_of(eng._current())
        with pytest.raises(_engine.CorruptIndexError, match="entries of document"):
            index.search_hybrid(question, 3, syn, True)
        assert eng.search(question, 1)[0][0]["scene_id"] == "m_scene_2"


# ---- question transforms (eval --robustness) ---------------------------------


def test_question_transforms():
    pytest.importorskip("opencc")
    pytest.importorskip("pypinyin")
    from pypinyin import lazy_pinyin

    from corvane import robustness

    assert robustness.to_traditional("胎压灯亮了怎么办") == "胎壓燈亮了怎麼辦"
    assert robustness.to_full_width("ACC 60 km/h") == "ＡＣＣ\u3000６０\u3000ｋｍ/ｈ"
    for q in ["胎压灯亮了怎么办", "后排座椅怎么放倒", "ACC 跟车距离"]:
        typo = robustness.with_homophone(q)
        assert typo == robustness.with_homophone(q)  # deterministic
        diff = [(a, b) for a, b in zip(q, typo) if a != b]
        assert len(typo) == len(q) and len(diff) == 1
        a, b = diff[0]
        assert lazy_pinyin(a) == lazy_pinyin(b)
    assert robustness.with_homophone("ACC") == "ACC"


def test_eval_reports_each_file_and_robustness(tmp_path):
    pytest.importorskip("opencc")
    pytest.importorskip("pypinyin")
    data = _indexed(tmp_path, MANUAL)
    a = tmp_path / "a.jsonl"
    b = tmp_path / "b.jsonl"
    a.write_text(json.dumps({"q": "座椅通风怎么开", "expect": [{"manual": "m.md", "title": "通过中央显示屏调节",
                                                          "under": "座椅通风"}]}, ensure_ascii=False) + "\n",
                 encoding="utf-8")
    b.write_text(json.dumps({"q": "违章怎么查", "expect": []}, ensure_ascii=False) + "\n", encoding="utf-8")
    out = subprocess.run([sys.executable, "-m", "corvane", "eval", str(a), str(b), "--ranker", "hybrid",
                          "--robustness", "--data-dir", str(data)], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout.count("questions: ") == 2 and out.stdout.count("robustness of hybrid") == 2
    for name in ("traditional", "homophone", "full-width"):
        assert name in out.stdout
    # a heading that no scene of that title is under is a question-file error
    a.write_text(json.dumps({"q": "x", "expect": [{"manual": "m.md", "title": "注意事项", "under": "不存在"}]},
                            ensure_ascii=False) + "\n", encoding="utf-8")
    out = subprocess.run([sys.executable, "-m", "corvane", "eval", str(a), "--data-dir", str(data)],
                         capture_output=True, text=True)
    assert out.returncode == 2 and "not in the index" in out.stdout
