"""`corvane index`: the tree files and the scene index from the manuals."""
from __future__ import annotations

import argparse
import contextlib
import os
import re
import shutil
import sys
import tempfile

from corvane import settings
from corvane.cli.common import DATA_DIR_HELP, decode_failure, plural, require_data_folder
from corvane.cli_data import COMPILED_FILE, INDEX_FILE, MANUALS, DataDir, load_aliases, manual_files
from corvane.errors import EXIT_OK
from corvane.cli_errors import CliError
from corvane.layout import TREES


@contextlib.contextmanager
def progress(total: int):
    """A progress display of the manuals on stderr (only when stderr is a terminal).

    Yields (advance, around_stdout_write)."""
    if not sys.stderr.isatty():
        yield (lambda: None), None
        return
    from tqdm import tqdm

    bar = tqdm(total=total, desc="indexing", unit="manual", file=sys.stderr)
    shared_terminal = sys.stdout.isatty()

    @contextlib.contextmanager
    def around():
        if shared_terminal:
            bar.clear()
        try:
            yield
        finally:
            if shared_terminal:
                bar.refresh()

    try:
        yield (lambda: bar.update(1)), around
    finally:
        bar.close()


def write_compiled(data: DataDir) -> None:
    """Writes the compiled index beside the new scene index.  The scene index is complete
    without it: a failure is a warning, and the query engine compiles the index when it
    opens it."""
    try:
        from corvane.engine import write_compiled_index

        write_compiled_index(data.shown)
    except Exception as e:  # noqa: BLE001 -- whatever it is, the index run itself succeeded
        if isinstance(e, OSError) and e.strerror:
            reason = e.strerror
            if e.filename is not None:
                reason = f"{os.fsdecode(e.filename)}: {reason}"
        else:
            reason = str(e) or type(e).__name__
        print(f"corvane index: warning: compiled index {data.display(COMPILED_FILE)} not written ({reason}); "
              f"the scene index is complete, and `corvane ask` compiles it when it opens it", file=sys.stderr)


def cmd_index(args: argparse.Namespace) -> int:
    data = DataDir(args.data_dir)
    require_data_folder(data)
    manuals_dir = data.path / MANUALS
    if not manuals_dir.is_dir():
        raise CliError(f"no manuals folder at {data.display(MANUALS)}; nothing was changed")
    total = len(manual_files(manuals_dir))
    if total == 0:
        raise CliError(f"no manuals in {data.display(MANUALS)} (a manual is a *.md file); nothing was changed")
    had_index = (data.path / INDEX_FILE).exists()
    done = scenes = 0
    kept = "the previous index was kept" if had_index else "no index was written"
    catalog_notes = check_catalog(data, manual_files(manuals_dir), kept, shown_dir(args))
    aliases = load_aliases(data, "index")
    from corvane import ostrel

    # The run writes into a staging folder inside the data folder; its files replace the
    # current ones only when the run succeeded and yielded scenes.
    staging = tempfile.mkdtemp(prefix=".corvane-index-", dir=data.shown)
    staged_trees = os.path.join(staging, TREES)
    staged_index = os.path.join(staging, INDEX_FILE)

    def shown(path: str) -> str:  # a staged file by the name it gets in the data folder
        for staged, final in ((staged_trees, data.display(TREES)), (staged_index, data.display(INDEX_FILE))):
            if path == staged or path.startswith(staged + "/"):
                return final + path[len(staged):]
        return path

    try:
        os.mkdir(staged_trees)
        with progress(total) as (advance, around):
            def on_manual(manual_id: str, count: int) -> None:
                nonlocal done, scenes
                done += 1
                scenes += count
                with around() if around else contextlib.nullcontext():
                    print(f"Processed: {manual_id}, scenes={count}", flush=True)
                advance()

            try:
                threads = settings.get("index_threads") or None
                max_line = settings.get("index_max_line_bytes")
                ostrel.run_index(data.display(MANUALS), staged_trees, staged_index, aliases=aliases,
                                 on_manual=on_manual, threads=threads, max_line_bytes=max_line)
            except (OSError, ValueError, TypeError, KeyError) as e:
                if isinstance(e, BrokenPipeError):
                    raise
                before = f"{plural(done, 'manual')} indexed before it"
                if isinstance(e, UnicodeDecodeError):
                    m = re.search(r"\(in (.*)\)$", e.reason)
                    manual = m.group(1) if m else "a manual"
                    if e.reason.startswith("the file name is not UTF-8"):
                        raise CliError(f"the file name of manual {manual} is not UTF-8 (byte "
                                       f"0x{e.object[e.start:e.start + 1].hex()}); rename it; nothing was "
                                       f"changed") from e
                    raise CliError(f"{decode_failure('manual ' + manual, e)}; {before}; {kept}") from e
                if isinstance(e, OSError) and e.filename is not None:
                    what = f"{shown(os.fsdecode(e.filename))}: {e.strerror or e}"
                else:
                    what = str(e).replace(staged_trees, data.display(TREES)) or type(e).__name__
                raise CliError(f"{what}; {before}; {kept}") from e
        if scenes == 0:
            raise CliError(f"no scenes in the {plural(done, 'manual')} of {data.display(MANUALS)} (a scene "
                           f"needs a \"#\" heading); {kept} and the tree files were left as they were")
        os.makedirs(data.display(TREES), exist_ok=True)
        for name in sorted(os.listdir(staged_trees)):
            os.replace(os.path.join(staged_trees, name), os.path.join(data.display(TREES), name))
        os.replace(staged_index, data.display(INDEX_FILE))
    finally:
        shutil.rmtree(staging, ignore_errors=True)
    write_compiled(data)
    for note in catalog_notes:
        print(f"corvane index: warning: {note}", file=sys.stderr)
    report_manual_warnings(data, shown_dir(args))
    return EXIT_OK


def shown_dir(args: argparse.Namespace) -> str | None:
    """The data folder as the user gave it (``index --out`` runs this command over a staging folder)."""
    return getattr(args, "user_data_dir", args.data_dir)


def check_catalog(data: DataDir, manuals, kept: str, shown: str | None) -> list[str]:
    """The catalog (DIR/catalog.json, optional) checked before anything is written: a bad
    one stops the run (its error names the key); the warnings (catalog keys with no
    manual, manuals with no entry) are returned for after the run."""
    from corvane.catalog import CatalogError, check_against_manuals, load_catalog, manual_id_of

    try:
        catalog = load_catalog(data.shown)
    except CatalogError as e:
        text = str(e)
        if shown != data.shown:
            text = text.replace(str(data.path / "catalog.json"), DataDir(shown).display("catalog.json"))
            text = text.replace(data.display("catalog.json"), DataDir(shown).display("catalog.json"))
        raise CliError(f"{text}; {kept}") from e
    return check_against_manuals(catalog, [manual_id_of(os.path.basename(str(m))) for m in manuals])


def report_manual_warnings(data: DataDir, shown: str | None) -> None:
    """One stderr line with the count of what `corvane check` would report about the manuals
    (nothing when there is nothing); a failure of the count never fails the index run."""
    try:
        from corvane.checking import count_warnings

        count = count_warnings(data.shown)
    except Exception:  # noqa: BLE001 -- the index is written; the count is a hint
        return
    if count:
        print(f"corvane index: note: {plural(count, 'warning')} about the manuals "
              f"(what may not come out as written); `corvane check{'' if shown is None else ' --data-dir ' + shown}` "
              f"lists them", file=sys.stderr)


def run_index(args: argparse.Namespace) -> int:
    """`corvane index`, or with --out a new release built by it (corvane.releases)."""
    from corvane import releases_cli as releases

    args.user_data_dir = args.data_dir
    return releases.index_out_or(cmd_index)(args)


INDEX_HELP = """\
Rebuilds DIR/trees/ (one tree file per manual) and DIR/scene_index.jsonl from the
manuals DIR/manuals/*.md and the alias file DIR/manual_alias.json (optional), printing
"Processed: <manual>, scenes=<n>" per manual. A progress display goes to stderr when
it is a terminal. Then it writes DIR/scene_index.cvx, the compiled index `corvane ask`
and `corvane serve` open in milliseconds; when that file cannot be written, a warning
on stderr says so and the run still succeeds (the index is compiled when opened).

The command refuses to run, and changes nothing, when DIR/manuals is missing or holds
no manual. The index is replaced only when the whole run succeeds: on an error (such
as a manual that is not UTF-8) the previous index is kept.

Exit status: 0 ok, 2 on an error.
"""


def add_parser(sub, common) -> None:
    raw = argparse.RawDescriptionHelpFormatter
    p = sub.add_parser("index", help="rebuild the tree files and the scene index from DIR/manuals",
                       description=INDEX_HELP, formatter_class=raw, parents=[common])
    p.add_argument("--data-dir", metavar="DIR", default=None, help=DATA_DIR_HELP)
    from corvane import releases_cli as releases

    releases.add_index_arguments(p)
    p.set_defaults(run=run_index)
