"""The `check` and `import` commands: per command ``add_arguments(parser)`` and
``run(args) -> int`` (``CHECK`` and ``IMPORT`` bundle them with their help texts)."""
from __future__ import annotations

import argparse
import json
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

from corvane.cli_errors import EXIT_ERROR, EXIT_NO_RESULT, EXIT_OK, CliError

DATA_DIR_HELP = "the data folder whose manuals/ are checked (default: ./data)"

CHECK_HELP = """\
Reads the manuals exactly as `corvane index` does (DIR/manuals/*.md, or the FILEs
given) and reports, by file and line, what will not come out as the author probably
meant: unknown field headings (with the nearest known one), text that is dropped
(before the first heading, headings too deep for their scene, chapter headings),
field-like and duplicate scene titles, tables, images that stay text, steps split at
a full-width colon, empty scenes, very long lines, invalid UTF-8 and byte-order marks.
The format is described in docs/manual-format.md.

Each finding is one line "FILE:LINE: SEVERITY: MESSAGE [CODE]"; --json prints one
JSON object instead ("manuals", "errors", "warnings", "by_code", "findings").

Exit status: 0 when nothing or only warnings were found, 1 with --strict when
anything was found, 2 on an error (a manual that cannot be read or is not UTF-8, so
indexing would stop; a missing data folder or file).
"""

IMPORT_HELP = """\
Converts a document (HTML, DOCX or PDF, by its extension) into a manual in the
format `corvane index` reads, keeping its wording: headings become scene and chapter
headings, numbered procedures steps, warning/caution/note boxes the fields
警告/注意/提示, lists, images (with their alternative text or caption) and tables
are kept. Then it runs `corvane check` on the output and prints what it could not
map and the check's findings (--report FILE writes them to FILE as JSON too).

The converters need the `import` extra: pip install 'corvane[import]'.

Exit status: 0 ok, 2 on an error (unreadable or unsupported document, missing extra,
output not writable). The output is written whole or not at all.
"""


@dataclass(frozen=True)
class Command:
    name: str
    help: str
    description: str
    add_arguments: Callable[[argparse.ArgumentParser], None]
    run: Callable[[argparse.Namespace], int]


# --- check ------------------------------------------------------------------------------


def check_add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("files", metavar="FILE", nargs="*", help="manual files to check (default: DIR/manuals/*.md)")
    p.add_argument("--data-dir", metavar="DIR", default=None, help=DATA_DIR_HELP)
    p.add_argument("--strict", action="store_true", help="exit 1 when anything is reported")
    p.add_argument("--json", action="store_true", help="print one JSON object instead of lines")
    p.add_argument("--long-line", metavar="N", type=int, default=None,
                   help="report lines longer than N characters (default: 400)")


def check_targets(args: argparse.Namespace) -> list[tuple[Path, str]]:
    from corvane.checking.report import manual_paths
    from corvane.cli_data import MANUALS, DataDir

    if args.files:
        if args.data_dir is not None:
            raise CliError("give either FILEs or --data-dir, not both")
        out = []
        for f in args.files:
            p = Path(f)
            if not p.is_file():
                raise CliError(f"no manual file {f}" if not p.exists() else f"{f} is not a file")
            out.append((p, f))
        return out
    data = DataDir(args.data_dir)
    if not data.exists():
        raise CliError(f"no data folder at {data.shown}; pass --data-dir DIR or FILEs")
    if not (data.path / MANUALS).is_dir():
        raise CliError(f"no manuals folder at {data.display(MANUALS)}")
    targets = manual_paths(data.path, shown=data.shown)
    if not targets:
        raise CliError(f"no manuals in {data.display(MANUALS)} (a manual is a *.md file)")
    return targets


def check_run(args: argparse.Namespace) -> int:
    from corvane.checking.report import LONG_LINE, check_paths, summary

    long_line = LONG_LINE if args.long_line is None else args.long_line
    if long_line < 1:
        raise CliError(f"--long-line must be at least 1, not {long_line}")
    targets = check_targets(args)
    findings = check_paths(targets, long_line)
    s = summary(findings)
    if args.json:
        print(json.dumps({"manuals": len(targets)} | s, ensure_ascii=False))
    else:
        for f in findings:
            print(f)
        print(f"{len(targets)} manual(s): {s['errors']} error(s), {s['warnings']} warning(s)", file=sys.stderr)
    if s["errors"]:
        return EXIT_ERROR
    return EXIT_NO_RESULT if args.strict and findings else EXIT_OK


# --- import -----------------------------------------------------------------------------


def import_add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("document", metavar="FILE", help="the document: .html/.htm, .docx or .pdf")
    p.add_argument("-o", "--output", metavar="OUT.md", required=True,
                   help="the manual to write, e.g. data/manuals/NAME.md (replaced if it exists)")
    p.add_argument("--report", metavar="FILE", default=None,
                   help="also write what could not be mapped and the check's findings to FILE (JSON)")
    p.add_argument("--title", metavar="TEXT", default=None,
                   help="the document title to use when the document has none")


def import_run(args: argparse.Namespace) -> int:
    from corvane.checking import importers
    from corvane.checking.report import check_bytes, summary
    from corvane.checking.files import write_text_atomic

    src = Path(args.document)
    if not src.is_file():
        raise CliError(f"no document {args.document}" if not src.exists() else f"{args.document} is not a file")
    try:
        result = importers.convert_file(src, title=args.title)
    except importers.MissingExtra as e:
        raise CliError(str(e)) from e
    except importers.ImportFailure as e:
        raise CliError(f"{args.document}: {e}") from e
    out = Path(args.output)
    if out.suffix != ".md":
        raise CliError(f"-o {args.output}: a manual's name ends in .md")
    try:
        write_text_atomic(out, result.markdown)
    except OSError as e:
        raise CliError(f"cannot write {args.output}: {e.strerror or e}") from e
    checked = check_bytes(result.markdown.encode("utf-8"), args.output)
    for note in result.notes:
        print(f"{args.document}: not mapped: {note}")
    for f in checked.findings:
        print(f)
    s = summary(checked.findings)
    print(f"wrote {args.output}: {len(checked.scenes)} scene(s); {len(result.notes)} note(s), "
          f"{s['warnings']} warning(s) from check", file=sys.stderr)
    if args.report is not None:
        report = {"document": args.document, "output": args.output, "scenes": len(checked.scenes),
                  "not_mapped": result.notes, "check": s}
        try:
            write_text_atomic(Path(args.report), json.dumps(report, ensure_ascii=False, indent=2) + "\n")
        except OSError as e:
            raise CliError(f"cannot write report {args.report}: {e.strerror or e}") from e
    return EXIT_OK


CHECK = Command("check", "report what of the manuals will be lost or changed, by file and line",
                CHECK_HELP, check_add_arguments, check_run)
IMPORT = Command("import", "convert an HTML, DOCX or PDF document into a manual",
                 IMPORT_HELP, import_add_arguments, import_run)
COMMANDS = [CHECK, IMPORT]


def add_parsers(sub, parents: list) -> None:
    """Registers the commands on an argparse sub-parsers object."""
    for c in COMMANDS:
        p = sub.add_parser(c.name, help=c.help, description=c.description,
                           formatter_class=argparse.RawDescriptionHelpFormatter, parents=parents)
        c.add_arguments(p)
        p.set_defaults(run=c.run)
