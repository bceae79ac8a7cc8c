"""The release commands (`corvane publish`, `rollback`, `releases`) and `index --out`,
over corvane.releases."""
from __future__ import annotations

import os
import sys
from typing import Callable

from corvane import settings
from corvane.releases import RELEASES_ENV, ReleaseError, build, list_releases, prune, publish, rollback


def default_dir(args) -> str:
    return (getattr(args, "releases", None) or settings.get("releases_dir")
            or os.path.join(getattr(args, "data_dir", None) or "data", "releases"))


def add_index_arguments(parser) -> None:
    """``--out DIR`` on ``corvane index``."""
    parser.add_argument("--out", metavar="DIR", default=None,
                        help="build into a new release folder DIR/<UTC time>-<hash>/ (usually data/releases) "
                             "instead of the data folder; 'corvane publish' switches to it")


def run_index_out(args, cmd_index: Callable) -> int:
    """``corvane index --out DIR``: ``cmd_index`` (the ordinary command) run for a release."""
    import copy

    data_dir = args.data_dir or "data"

    def run_index(folder: str) -> int:
        from corvane.cli_errors import CliError

        inner = copy.copy(args)
        inner.data_dir = folder
        inner.out = None
        try:
            return cmd_index(inner)
        except CliError as exc:
            # The messages name the staging folder; the user knows the manuals by their own path.
            exc.message = exc.message.replace(os.path.join(folder, "manuals"), os.path.join(data_dir, "manuals"))
            exc.message = exc.message.replace("; the previous index was kept", "").replace(
                "; no index was written", "") + "; no release was made"
            raise

    release = build(data_dir, args.out, run_index)
    print(f"built release {release.id} in {release.path}; switch to it with "
          f"'corvane publish --releases {args.out} {release.id}'", file=sys.stderr)
    print(release.id)
    return 0


def add_arguments(parser, command: str) -> None:
    """The options of ``publish``, ``rollback`` or ``prune``."""
    parser.add_argument("--releases", metavar="DIR", default=None,
                        help=f"the releases folder (default: ${RELEASES_ENV}, else DATA_DIR/releases)")
    parser.add_argument("--data-dir", metavar="DIR", default=None, help="the data folder (default: data)")
    if command == "publish":
        parser.add_argument("release", metavar="RELEASE", nargs="?", default=None,
                            help="the release id (default: the newest)")
        parser.add_argument("--list", action="store_true", help="list the releases and exit")
    if command == "rollback":
        parser.add_argument("--to", metavar="RELEASE", default=None,
                            help="the release to switch to (default: the one before the current)")
    parser.add_argument("--keep", metavar="N", type=int, default=None if command != "prune" else 5,
                        help="then delete all but the N newest releases (the current is always kept)"
                        + (" (default: 5)" if command == "prune" else ""))
    parser.set_defaults(release_command=command)


def run(args, out=None) -> int:
    out = out or sys.stdout
    folder = default_dir(args)
    command = args.release_command
    if command == "publish" and getattr(args, "list", False):
        for r in list_releases(folder):
            print(f"{'*' if r.current else ' '} {r.id}", file=out)
        return 0
    if command == "publish":
        previous, now = publish(folder, args.release)
        print(f"current: {now}" + (f" (was {previous})" if previous and previous != now else ""), file=out)
    elif command == "rollback":
        previous, now = rollback(folder, args.to)
        print(f"current: {now} (was {previous})", file=out)
    if args.keep is not None:
        for rid in prune(folder, args.keep):
            print(f"pruned {rid}", file=out)
    return 0


_HELP = {
    "publish": "switch the served release (DIR/current) to a built one, atomically",
    "rollback": "switch the served release back to the one before",
    "prune": "delete old releases, keeping the newest N and the current one",
}


def add_parsers(subparsers) -> None:
    """Registers ``publish``, ``rollback`` and ``prune`` on the CLI's subparsers."""
    def run_cli(args) -> int:
        from corvane.cli_errors import CliError

        try:
            return run(args)
        except ReleaseError as exc:
            raise CliError(str(exc), 2) from None
        except OSError as exc:
            raise CliError(f"{exc.filename or default_dir(args)}: {exc.strerror or exc}", 2) from None

    for command, text in _HELP.items():
        p = subparsers.add_parser(command, help=text, description=text)
        add_arguments(p, command)
        p.set_defaults(run=run_cli)


def index_out_or(cmd_index: Callable) -> Callable:
    """``cmd_index`` that builds a release when ``--out`` is given (a wrapper for the index command's ``run``)."""
    def run_index(args) -> int:
        if getattr(args, "out", None):
            from corvane.cli_errors import CliError

            try:
                return run_index_out(args, cmd_index)
            except ReleaseError as exc:
                raise CliError(str(exc), 2) from None
        return cmd_index(args)

    return run_index
