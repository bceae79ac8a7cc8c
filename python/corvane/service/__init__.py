"""HTTP service and web page over one data folder's scene index (``corvane serve``).

``create_app(data_dir, *, ranker="exact", ...)`` builds the ASGI application
(FastAPI); ``add_parser(subparsers)`` registers the ``serve`` subcommand.
Importing this package loads neither FastAPI nor an extension module; they
come with the first call that needs them.
"""
from __future__ import annotations

from corvane.service.cli import add_parser

__all__ = ["add_parser", "create_app"]


def __getattr__(name: str):
    if name == "create_app":
        from corvane.service.app import create_app

        return create_app
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
