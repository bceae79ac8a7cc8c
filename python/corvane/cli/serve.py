"""`corvane serve`: the HTTP service (its options live with the service, corvane.service.cli)."""
from __future__ import annotations

from corvane.cli.common import adopt_common


def add_parser(sub, common) -> None:
    from corvane.service import add_parser as add_serve_parser

    add_serve_parser(sub)
    adopt_common(sub.choices["serve"], common)
