"""`corvane publish|rollback|prune`: switching the served index release (corvane.releases).
`corvane index --out DIR` builds the releases (corvane.cli.index)."""
from __future__ import annotations

from corvane.cli.common import adopt_common


def add_parser(sub, common) -> None:
    from corvane import releases_cli as releases

    releases.add_parsers(sub)
    for command in ("publish", "rollback", "prune"):
        adopt_common(sub.choices[command], common)
