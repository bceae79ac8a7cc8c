"""Fuzz target: save_json and append_jsonl on values built from the input.

Invariant: the file holds exactly json.dumps(value, ensure_ascii=False,
indent=2) (save_json) or that compact text and "\\n" (append_jsonl), and
json.loads of it equals the value; a value json.dumps cannot write fails both
with the same exception type and leaves the earlier content of the file.
"""
from __future__ import annotations

import json
import math
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pyfuzz  # noqa: E402

WORK, ostrel = pyfuzz.scratch_and_import("json", "ostrel")

TREE = os.path.join(WORK, "tree.json")
LINES = os.path.join(WORK, "index.jsonl")
FLOATS = [0.0, -0.0, 1.5, -2.25e-300, 1e16, 1e-5, 5e-324, 1.7976931348623157e308, math.inf, -math.inf, math.nan]


def value(src: pyfuzz.Bytes, depth: int = 0):
    kind = src.byte() % (6 if depth > 6 or not src.more() else 9)
    if kind == 0:
        return None
    if kind == 1:
        return bool(src.byte() & 1)
    if kind == 2:
        n = int.from_bytes(src.take(src.byte() % 20), "little")
        return -n if src.byte() & 1 else n
    if kind == 3:
        b = src.byte()
        return FLOATS[b % len(FLOATS)] if b < 128 else float.fromhex(f"0x1.{src.byte():02x}p{src.byte() - 128}")
    if kind in (4, 5):
        return src.text(12)
    if kind == 6:
        return [value(src, depth + 1) for _ in range(src.byte() % 5)]
    if kind == 7:
        return tuple(value(src, depth + 1) for _ in range(src.byte() % 3))
    out = {}
    for _ in range(src.byte() % 5):
        k = src.byte() % 6
        key = (src.text(6), src.text(6), src.byte(), None, bool(src.byte() & 1), FLOATS[src.byte() % len(FLOATS)])[k]
        out[key] = value(src, depth + 1)
    return out


def expect(fn):
    try:
        return "ok", fn()
    except Exception as e:  # noqa: BLE001 - the type is compared
        return "error", type(e)


def same(a, b) -> bool:
    return repr(a) == repr(b)


def check(data: bytes) -> None:
    obj = value(pyfuzz.Bytes(data))
    for writer, path, dumps in (
        (ostrel.save_json, TREE, lambda: json.dumps(obj, ensure_ascii=False, indent=2)),
        (ostrel.append_jsonl, LINES, lambda: json.dumps(obj, ensure_ascii=False) + "\n"),
    ):
        with open(path, "wb") as f:
            f.write(b"before\n")
        want = expect(lambda: dumps().encode("utf-8"))
        got = expect(lambda: writer(obj, path))
        with open(path, "rb") as f:
            content = f.read()
        if want[0] == "error":
            if got[0] != "error":
                raise AssertionError(f"{writer.__name__} wrote {obj!r}; json.dumps fails with {want[1]}")
            if content != b"before\n":
                raise AssertionError(f"{writer.__name__} changed the file on failure: {content!r}")
            continue
        if got[0] != "ok":
            raise AssertionError(f"{writer.__name__} failed with {got[1]} on {obj!r}")
        expected = want[1] if writer is ostrel.save_json else b"before\n" + want[1]
        if content != expected:
            raise AssertionError(f"{writer.__name__} wrote {content!r}, expected {expected!r}")
        text = want[1].decode("utf-8")
        back = json.loads(text)
        # Tuples come back as lists and keys as their JSON texts, as json.dumps writes them.
        if not same(back, json.loads(json.dumps(obj))):
            raise AssertionError(f"read back {back!r} from {obj!r}")


if __name__ == "__main__":
    pyfuzz.run(check)
