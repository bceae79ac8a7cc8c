"""The fused ranker's weights as data (``fused_weights.json`` beside this module).

tools/train_fused.py fits them and writes both that file and the C++ defaults
(``FusedWeights`` in src/core/search/hybrid.hpp), which the ranker uses; the
tests check that the two agree.  ``load()`` reads and checks a weights file
(the shipped one or a retrained one, for ``search_hybrid(..., fusion=...)``).
"""
from __future__ import annotations

import json
import math
import os
from pathlib import Path

SHIPPED = Path(__file__).with_name("fused_weights.json")


def names() -> list[str]:
    """Every weight the ranker takes, in its order."""
    from corvane import _hybrid

    return list(_hybrid.fused_defaults())


def load(path: str | os.PathLike[str] = SHIPPED, *, complete: bool = False) -> dict[str, float]:
    """The weights of a JSON file (an object from weight name to a number of 0 or
    more); ValueError naming the file and what is wrong.  With ``complete``,
    every weight must be given."""
    path = Path(path)
    try:
        data = json.loads(path.read_text(encoding="utf-8"))
    except OSError as exc:
        raise ValueError(f"{path}: cannot read the fused weights ({exc.strerror or exc})") from None
    except UnicodeDecodeError as exc:
        raise ValueError(f"{path}: not UTF-8 text (byte {exc.start})") from None
    except json.JSONDecodeError as exc:
        raise ValueError(f"{path}: not valid JSON (line {exc.lineno}: {exc.msg})") from None
    if not isinstance(data, dict):
        raise ValueError(f"{path}: expected a JSON object of weight names to numbers")
    known = names()
    for key, value in data.items():
        if key not in known:
            raise ValueError(f"{path}: unknown weight {key!r} (weights: {', '.join(known)})")
        if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value) or value < 0:
            raise ValueError(f"{path}: weight {key!r} must be a number of 0 or more, not {value!r}")
    if complete and (missing := [k for k in known if k not in data]):
        raise ValueError(f"{path}: weights missing: {', '.join(missing)}")
    return {k: float(v) for k, v in data.items()}
