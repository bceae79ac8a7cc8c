"""The engine's manual filter, heading paths on hits, and their sections in the
compiled file (MORD, HPTH)."""
from __future__ import annotations

import json
import pickle
import shutil
import struct
import subprocess
import sys
from pathlib import Path

import pytest

from corvane import _engine
from corvane.engine import Engine, SearchHit
from corvane.evaluate import heading_paths

CORPUS = Path(__file__).parent / "data" / "corpus"
QUESTIONS = [json.loads(line)["q"] for line in (CORPUS / "questions_public.jsonl").read_text("utf-8").splitlines()]
MANUALS = sorted(p.stem for p in (CORPUS / "manuals").glob("*.md"))


@pytest.fixture(scope="module")
def data(tmp_path_factory):
    folder = tmp_path_factory.mktemp("filter")
    shutil.copytree(CORPUS / "manuals", folder / "data" / "manuals")
    shutil.copy(CORPUS / "manual_alias.json", folder / "data" / "manual_alias.json")
    subprocess.run([sys.executable, "-m", "corvane", "index"], cwd=folder, check=True, capture_output=True)
    return folder / "data"


@pytest.fixture(scope="module")
def eng(data):
    with Engine(data) as e:
        assert e.info()["compiled_file"]
        yield e


def _filter_sets():
    return [{MANUALS[0]}, {MANUALS[1], MANUALS[3]}, set(MANUALS[:-1]), set(MANUALS), {"no_such_manual"}, set(),
            {MANUALS[2], "no_such_manual"}]


@pytest.mark.parametrize("ranker", ["exact", "hybrid", "cascade"])
def test_filter_equals_filtering_the_full_ranking(eng, ranker):
    cases = differ = 0
    for allowed in _filter_sets():
        for q in QUESTIONS[::2]:
            full = eng.search(q, len(eng), ranker=ranker)
            score_of = {e["scene_id"]: s for e, s in full}
            for k in (1, 3, 10):
                want = [(e["scene_id"], s) for e, s in full if e["manual_id"] in allowed][:k]
                got = [(e["scene_id"], s) for e, s in eng.search(q, k, ranker=ranker, manuals=allowed)]
                cases += 1
                if ranker == "hybrid" and [i for i, _ in got] != [i for i, _ in want]:
                    # The fused ranker scores a candidate pool (the 2k best BM25
                    # entries, the k best paths, the title matches), so its top k
                    # is not always the full ranking's, filtered or not: the
                    # hits are allowed ones, scored as unfiltered, best first.
                    differ += 1
                    assert len(got) == len(want), (q, sorted(allowed))
                    assert all(score_of[i] == pytest.approx(sc) for i, sc in got)
                    assert [sc for _, sc in got] == sorted((sc for _, sc in got), reverse=True)
                    continue
                assert [i for i, _ in got] == [i for i, _ in want], (ranker, sorted(allowed), q, k)
                assert [s for _, s in got] == pytest.approx([s for _, s in want]), (ranker, q, k)
    assert differ <= cases // 50, (differ, cases)


def test_the_filtered_pool_holds_the_unfiltered_hits_it_allows(eng):
    # The filtered search is never worse than filtering the unfiltered top k:
    # its i-th hit scores at least what the i-th allowed unfiltered hit does.
    for allowed in _filter_sets():
        for q in QUESTIONS:
            plain = [sc for e, sc in eng.search(q, 5, ranker="hybrid") if e["manual_id"] in allowed]
            got = [sc for _, sc in eng.search(q, 5, ranker="hybrid", manuals=allowed)]
            assert len(got) >= len(plain), (q, sorted(allowed))
            assert all(g >= p - 1e-9 for g, p in zip(got, plain)), (q, sorted(allowed))


def test_no_filter_and_every_manual_give_the_unfiltered_search(eng):
    for ranker in ("exact", "hybrid"):
        for q in QUESTIONS[:20]:
            plain = eng.search(q, 5, ranker=ranker)
            assert eng.search(q, 5, ranker=ranker, manuals=None) == plain
            assert [e["scene_id"] for e, _ in eng.search(q, 5, ranker=ranker, manuals=MANUALS)] == \
                [e["scene_id"] for e, _ in plain]


def test_negative_top_k_of_the_exact_ranker_drops_from_the_filtered_ranking(eng):
    allowed = {MANUALS[0], MANUALS[4]}
    for q in QUESTIONS[:15]:
        full = [e["scene_id"] for e, _ in eng.search(q, len(eng)) if e["manual_id"] in allowed]
        assert [e["scene_id"] for e, _ in eng.search(q, -2, manuals=allowed)] == full[:-2]


def test_answer_takes_the_filter_and_carries_paths(eng, data):
    allowed = {MANUALS[1]}
    for q in QUESTIONS[:10]:
        a = eng.answer(q, ranker="hybrid", manuals=allowed)
        hits = eng.search(q, 3, ranker="hybrid", manuals=allowed)
        assert [h.record for h in a.hits] == [r for r, _ in hits]
        assert [h.path for h in a.hits] == [h.path for h in hits]
        assert all(h.manual_id in allowed for h in a.hits)
        assert [r["node_id"] for r in a.knowledge["results"]] == [r["scene_id"] for r, _ in hits]


@pytest.mark.parametrize("bad", ["brevane_charging", b"x", 3, [1], {None}])
def test_bad_manuals_argument_is_a_type_error_naming_it(eng, bad):
    with pytest.raises(TypeError, match="manuals"):
        eng.search("充电", 3, manuals=bad)
    with pytest.raises(TypeError, match="manuals"):
        eng._current().index.search("充电", 3, bad)


def test_hits_carry_the_heading_path_of_their_scene(eng, data):
    from corvane.farrowin import load_scene_index

    index = load_scene_index(str(data / "scene_index.jsonl"))
    want = heading_paths(index, data)
    assert want, "the corpus has headings"
    pos = {e["scene_id"]: i for i, e in enumerate(index)}
    seen = 0
    for q in QUESTIONS[:30]:
        for hit in eng.search(q, 3, ranker="hybrid"):
            record, score = hit  # still the (entry, score) pair
            assert isinstance(hit, SearchHit) and hit == (record, score)
            assert list(hit.path) == want.get(pos[record["scene_id"]], [])
            seen += bool(hit.path)
    assert seen
    hit = eng.search(QUESTIONS[0], 1)[0]
    back = pickle.loads(pickle.dumps(hit))
    assert back == hit and back.path == hit.path


def test_in_memory_and_compiled_indexes_agree(data, tmp_path):
    copy = tmp_path / "data"
    shutil.copytree(data, copy)
    (copy / "scene_index.cvx").unlink()
    (copy / "scene_index.cvx").mkdir()  # cannot be written: served from memory
    with Engine(copy) as mem, Engine(data) as cvx:
        assert not mem.info()["compiled_file"]
        for q in QUESTIONS[::4]:
            for ranker in ("exact", "hybrid"):
                a = mem.search(q, 4, ranker=ranker, manuals={MANUALS[0], MANUALS[2]})
                b = cvx.search(q, 4, ranker=ranker, manuals={MANUALS[0], MANUALS[2]})
                assert a == b and [h.path for h in a] == [h.path for h in b]


def _section(blob: bytes, tag: bytes) -> tuple[int, int]:
    (count,) = struct.unpack_from("<I", blob, 12)
    for i in range(count):
        t, _, off, length = struct.unpack_from("<4sIQQ", blob, 80 + 24 * i)
        if t == tag:
            return off, length
    raise AssertionError(tag)


@pytest.mark.parametrize("tag, at, value", [
    (b"MORD", 8, 0xFFFFFFFF),   # the first entry's ordinal out of range
    (b"MORD", 4, 7),            # another entry count
    (b"HPTH", 8, 0xFFFFFF00),   # an offset past the section
])
def test_damaged_sections_are_corrupt_index_errors_and_the_engine_recovers(data, tmp_path, tag, at, value, caplog):
    copy = tmp_path / "data"
    shutil.copytree(data, copy)
    cvx = copy / "scene_index.cvx"
    blob = bytearray(cvx.read_bytes())
    off, _ = _section(blob, tag)
    struct.pack_into("<I", blob, off + at, value)
    blob = bytearray(_engine._reseal(bytes(blob)))
    cvx.write_bytes(blob)
    index = _engine.open_compiled(str(cvx), str(copy / "scene_index.jsonl"))
    with pytest.raises(_engine.CorruptIndexError):
        index.search("充电", 3, {MANUALS[0]})
    with pytest.raises(_engine.CorruptIndexError):
        index.heading_path(0)
    with Engine(copy) as e:
        got = e.search("充电", 3, manuals={MANUALS[1]})  # recompiled from the JSON-lines file
        assert got and all(r["manual_id"] == MANUALS[1] for r, _ in got)


def test_a_file_of_the_previous_version_is_recompiled(data, tmp_path):
    copy = tmp_path / "data"
    shutil.copytree(data, copy)
    cvx = copy / "scene_index.cvx"
    blob = bytearray(cvx.read_bytes())
    struct.pack_into("<I", blob, 8, _engine.FORMAT_VERSION - 1)
    cvx.write_bytes(_engine._reseal(bytes(blob)))
    with pytest.raises(_engine.UnusableCompiledFile, match="format version"):
        _engine.open_compiled(str(cvx), str(copy / "scene_index.jsonl"))
    with Engine(copy) as e:
        assert e.search("充电", 1, manuals={MANUALS[1]})
    _engine.open_compiled(str(cvx), str(copy / "scene_index.jsonl"))  # rewritten at the current version


def test_filtered_searches_on_many_threads_with_more_sets_than_are_kept(eng):
    from concurrent.futures import ThreadPoolExecutor
    from itertools import combinations

    sets = [set(c) for c in combinations(MANUALS, 2)] + [{m} for m in MANUALS]  # 21 sets, 8 kept
    qs = QUESTIONS[:12]
    want = {(i, q): [e["scene_id"] for e, _ in eng.search(q, 3, manuals=s)] for i, s in enumerate(sets) for q in qs}

    def run(seed):
        out = []
        for n in range(60):
            i = (seed * 7 + n * 5) % len(sets)
            q = qs[(seed + n) % len(qs)]
            out.append(((i, q), [e["scene_id"] for e, _ in eng.search(q, 3, manuals=sorted(sets[i], reverse=seed % 2))]))
        return out

    with ThreadPoolExecutor(4) as pool:
        for got in pool.map(run, range(8)):
            for key, ids in got:
                assert ids == want[key], key


def test_every_entry_carries_the_tables_of_its_scene(eng, data):
    from corvane.checking.tables import data_folder_tables

    want = data_folder_tables(data)
    assert want, "the corpus has tables"
    index = eng._current().index
    got = {}
    for i in range(len(index)):
        tables = index.tables(i)
        if tables:
            got[index.record(i)["scene_id"]] = tables
    assert got == {sid: [{k: t[k] for k in ("line", "header", "rows")} for t in ts] for sid, ts in want.items()}
    for q in QUESTIONS[:40]:
        for hit in eng.search(q, 3, ranker="hybrid"):
            assert list(hit.tables) == got.get(hit[0]["scene_id"], [])
        for hit in eng.answer(q, ranker="hybrid").hits:
            assert list(hit.tables) == got.get(hit.scene_id, [])


def test_damaged_tables_section_is_a_corrupt_index_error(data, tmp_path):
    copy = tmp_path / "data"
    shutil.copytree(data, copy)
    cvx = copy / "scene_index.cvx"
    blob = bytearray(cvx.read_bytes())
    off, _ = _section(blob, b"TABL")
    (entries,) = struct.unpack_from("<I", blob, off)
    ends = [struct.unpack_from("<I", blob, off + 4 + 4 * i)[0] for i in range(entries + 1)]
    first = next(i for i in range(entries) if ends[i + 1] > ends[i])
    rec = off + 4 + 4 * (entries + 1) + ends[first]
    struct.pack_into("<I", blob, rec + 4, 0x7FFFFFFF)  # a header cell count past the record
    cvx.write_bytes(_engine._reseal(bytes(blob)))
    index = _engine.open_compiled(str(cvx), str(copy / "scene_index.jsonl"))
    with pytest.raises(_engine.CorruptIndexError, match="tables"):
        index.tables(first)


def test_the_table_field_raises_the_scenes_whose_cells_hold_the_question(eng):
    from corvane import _engine as native

    index = eng._current().index
    syn = native.Synonyms(None)
    with_tables = [i for i in range(len(index)) if index.tables(i)]
    cell = next(c for i in with_tables for t in index.tables(i) for row in t["rows"] for c in row if len(c) >= 4)
    plain = dict(index.search_hybrid(cell, 10, syn, fusion={"tables": 0.0}))
    raised = dict(index.search_hybrid(cell, 10, syn, fusion={"tables": 2.0}))
    assert plain and raised
    gained = [i for i in raised if i in plain and raised[i] > plain[i] + 1e-9]
    assert gained and all(index.tables(i) for i in gained)
    assert all(raised[i] >= plain[i] - 1e-9 for i in raised if i in plain)


def test_a_lookup_reads_its_own_entry_and_a_filtered_search_checks_them_all(data, tmp_path):
    # The last entry's heading path end damaged: lookups of other entries go on
    # (they read their own offsets only), the entry's own lookup and the first
    # filtered search (which checks every offset) are CorruptIndexError.
    copy = tmp_path / "data"
    shutil.copytree(data, copy)
    cvx = copy / "scene_index.cvx"
    blob = bytearray(cvx.read_bytes())
    off, _ = _section(blob, b"HPTH")
    (entries,) = struct.unpack_from("<I", blob, off)
    struct.pack_into("<I", blob, off + 4 + 4 * entries, 0xFFFFFF00)
    cvx.write_bytes(_engine._reseal(bytes(blob)))
    index = _engine.open_compiled(str(cvx), str(copy / "scene_index.jsonl"))
    sound = _engine.open_compiled(str(data / "scene_index.cvx"), str(data / "scene_index.jsonl"))
    assert index.heading_path(0) == sound.heading_path(0) and index.heading_path(0)
    with pytest.raises(_engine.CorruptIndexError, match="heading paths"):
        index.heading_path(entries - 1)
    with pytest.raises(_engine.CorruptIndexError, match="heading paths"):
        index.search("充电", 3, {MANUALS[0]})
