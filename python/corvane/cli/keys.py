"""`corvane keys add|list|revoke`: the API keys of the service's clients (corvane.keys)."""
from __future__ import annotations

from corvane.cli.common import adopt_common


def add_parser(sub, common) -> None:
    from corvane import keys

    keys.add_parser(sub)
    adopt_common(sub.choices["keys"], common)
