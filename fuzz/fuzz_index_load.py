"""Fuzz target: the scene index loader on arbitrary file content.

Invariant: load_scene_index(path) equals [json.loads(line) for line in the
file read as UTF-8 text], or both fail with ValueError (UnicodeDecodeError and
JSONDecodeError included) or RecursionError.
"""
from __future__ import annotations

import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pyfuzz  # noqa: E402

WORK, farrowin = pyfuzz.scratch_and_import("index", "farrowin")

PATH = os.path.join(WORK, "index.jsonl")
FAILURES = (ValueError, RecursionError)


def reference(path: str):
    with open(path, encoding="utf-8") as f:
        return [json.loads(line) for line in f]


def outcome(fn, path):
    try:
        return "ok", fn(path)
    except FAILURES as e:
        return "error", type(e)


def check(data: bytes) -> None:
    with open(PATH, "wb") as f:
        f.write(data)
    got = outcome(farrowin.load_scene_index, PATH)
    want = outcome(reference, PATH)
    if got[0] == "ok" and want[0] == "ok":
        # repr tells int from float and -0.0 from 0.0, and NaN equals itself.
        if repr(got[1]) != repr(want[1]):
            raise AssertionError(f"loaded {got[1]!r}, json.loads gives {want[1]!r}")
    elif got[0] != want[0]:
        raise AssertionError(f"loader: {got}, json.loads: {want}, input {data!r}")


if __name__ == "__main__":
    pyfuzz.run(check)
