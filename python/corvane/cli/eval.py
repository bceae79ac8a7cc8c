"""`corvane eval`: how well a ranker finds the scenes labelled questions expect (corvane.evaluate, corvane.evaluate_cli)."""
from __future__ import annotations

from corvane.cli.common import adopt_common


def add_parser(sub, common) -> None:
    from corvane.evaluate_cli import add_parser as add_eval_parser

    add_eval_parser(sub)
    adopt_common(sub.choices["eval"], common)
