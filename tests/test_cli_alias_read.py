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
