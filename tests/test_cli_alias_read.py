"""The data folder's alias file is read once per command when importing corvane.morlek
already read that very file, and read again whenever it may differ from what the import saw."""
from __future__ import annotations

import json
import textwrap

from subproc import run_python

SCRIPT = textwrap.dedent("""
    import json, os, sys
    from corvane import cli_data
    from corvane.cli_data import DataDir, load_aliases, quiet_morlek
    path = os.path.join("data", "manual_alias.json")
    morlek = quiet_morlek()
    reads = []
    real = morlek.read_alias_file
    morlek.read_alias_file = lambda p: (reads.append(p), real(p))[1]
    out = {}
    if sys.argv[1] == "changed":  # replaced (another size) between the import and the command's read
        with open(path, "w", encoding="utf-8") as f:
            json.dump({"B": ["b", "bb"]}, f)
    out["first"] = load_aliases(DataDir("data"), "ask")
    out["same_object"] = out["first"] is morlek.MANUAL_ALIAS_MAP
    out["second"] = load_aliases(DataDir("data"), "ask")
    out["reads"] = len(reads)
    print(json.dumps(out))
""")


def run(tmp_path, aliases, mode="plain"):
    (tmp_path / "data").mkdir(exist_ok=True)
    (tmp_path / "data" / "manual_alias.json").write_text(
        aliases if isinstance(aliases, str) else json.dumps(aliases), encoding="utf-8")
    code = "import sys; sys.argv = ['x', %r]\n" % mode + SCRIPT
    proc = run_python(code, tmp_path)
    return proc, json.loads(proc.stdout.strip().splitlines()[-1])


def test_alias_file_read_once_then_again_when_asked_again_or_changed(tmp_path):
    proc, got = run(tmp_path, {"A": ["a"]})
    assert got["first"] == got["second"] == {"A": ["a"]}
    assert got["same_object"] and got["reads"] == 1  # the import's read served the first call
    _, got = run(tmp_path, {"A": ["a"]}, "changed")
    assert got["first"] == got["second"] == {"B": ["b", "bb"]} and got["reads"] == 2


def test_unusable_alias_file_still_reported(tmp_path):
    proc, got = run(tmp_path, "{not json")
    assert got["first"] == {} and got["reads"] == 2
    assert "alias file data/manual_alias.json not used" in proc.stderr
    _, got = run(tmp_path, {})  # an empty map is read again (it may stand for a failure)
    assert got["first"] == {} and got["reads"] == 2


# Texts around the one shape an alias file has.  The quick check may say "not sure"
# of a file the module reads fine; it must never pass one the module would refuse.
ALIAS_TEXTS = [
    '{"A": ["a", "b"], "B": []}', "{}", ' \t\r\n{ "A" : [ "a" ] }\n', '{"车窗": ["窗户", "玻璃"]}',
    '\ufeff{"A": ["a"]}', '{"A": ["a",]}', '{"A": ["a"],}', '{"A": "a"}', '{"A": [1]}', '{"A": [null]}',
    '{"A": [["a"]]}', '{"A": [{"b": "c"}]}', '["a"]', '"a"', '', '{"A": ["a"]} x', '{"A": ["a"]}{}',
    '{"A": ["a\\"b"]}', '{"A": ["\\u00e9"]}', '{"A": ["\\ud800"]}', '{"A": ["a\tb"]}', '{"A": ["a\x00"]}',
    '{"A": ["a"], "A": 1}', '{"A": 1, "A": ["a"]}', '{"A": [NaN]}', '{\x0c"A": ["a"]}', "{'A': ['a']}",
    '{"A": ["a"]', '{"A": ["\U0001F600"]}', '{"A"\u3000: ["a"]}',
]
ALIAS_BYTES = [b'{"A": ["\xff"]}', b'{"A": ["\xc0\xaf"]}', b'{"A": ["\xed\xa0\x80"]}', b'{"A": ["\xf4\x90\x80\x80"]}',
               b'{"A": ["\xe6\x97"]}', b'{"A": ["\xe6\x97\xa5"]}', b'{"A": ["\xf0\x9f\x98\x80"]}']


def test_quick_alias_check_never_passes_a_file_the_module_refuses(tmp_path):
    from corvane import _engine
    from corvane.cli_data import quiet_morlek

    morlek = quiet_morlek()
    path = tmp_path / "manual_alias.json"
    passed = []
    for data in [t.encode("utf-8", "surrogatepass") for t in ALIAS_TEXTS] + ALIAS_BYTES:
        path.write_bytes(data)
        mapping, failure = morlek.read_alias_file(str(path))
        if _engine.alias_file_ok(str(path)):
            assert failure is None, data
            passed.append(data)
    assert len(passed) >= 7  # the plain well-formed files are taken without the module's reading
    assert not _engine.alias_file_ok(str(tmp_path / "missing.json")) and not _engine.alias_file_ok(str(tmp_path))


def test_ask_reports_an_unusable_alias_file_without_reading_a_good_one(tmp_path):
    """`corvane ask` checks the alias file without importing corvane.morlek when the file is
    well formed, and gives the same warnings as before when it is not."""
    from subproc import run_cli

    data = tmp_path / "data"
    (data / "manuals").mkdir(parents=True)
    (data / "manuals" / "m.md").write_text("# 车窗\n\n## 一键升降\n\n按下开关。\n", encoding="utf-8")
    run_cli(["index"], tmp_path)
    ask = ("import sys; from corvane.__main__ import main; rc = main(['ask', '--json', '车窗自动']); "
           "print('morlek imported:', 'corvane.morlek' in sys.modules, file=sys.stderr); sys.exit(rc)")
    for text, warned in (('{"一键升降": ["车窗自动"]}', False), ('{"一键升降": "车窗自动"}', True),
                         ('{"一键升降": ["\\u8f66"]}', False)):
        (data / "manual_alias.json").write_text(text, encoding="utf-8")
        proc = run_python(ask, tmp_path)
        assert ("alias file data/manual_alias.json not used" in proc.stderr) is warned
        assert ("morlek imported: True" in proc.stderr) is ("\\u" in text or warned)
