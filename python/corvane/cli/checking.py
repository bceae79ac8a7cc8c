"""`corvane check` and `corvane import`: the manual checker and the document importers
(corvane.checking.commands holds their arguments and runs)."""
from __future__ import annotations


def add_parser(sub, common) -> None:
    from corvane.checking.commands import add_parsers

    add_parsers(sub, [common])
