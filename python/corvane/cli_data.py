"""The data folder of a command, and its alias file.

A command works on the folder ``--data-dir DIR`` names (``./data`` by
default): it hands the modules the paths inside it (corvane.layout), so
messages name the files by the path the user gave.  The specified functions
that use fixed paths relative to the working directory (``data/...``) are not
used by the commands.
"""
from __future__ import annotations

import contextlib
import io
import os
import sys
from pathlib import Path

from corvane.layout import ALIAS_FILE, COMPILED_FILE, INDEX_FILE, MANUALS  # noqa: F401  (old import path)

ALIAS_FAILURE = "加载手工别名文件失败: "



class DataDir:
    """The data folder a command works on, as the user named it."""

    def __init__(self, given: str | None):
        self.explicit = given is not None
        self.shown = "data" if given is None else given
        self.path = Path(os.path.abspath(self.shown))

    def display(self, name: str = "") -> str:
        """The path of ``name`` inside the folder, written the way the user wrote the folder."""
        if not name:
            return self.shown
        return self.shown.rstrip("/") + "/" + name if self.shown.rstrip("/") else "/" + name

    def exists(self) -> bool:
        return self.path.is_dir()

def manual_files(folder: Path) -> list[Path]:
    """The manuals the indexing run would read: regular ``*.md`` files directly in ``folder``,
    not starting with "." (symbolic links to files count, as the run reads through them)."""
    try:
        entries = list(os.scandir(folder))
    except OSError:
        return []
    found = []
    for e in entries:
        if e.name.startswith(".") or not e.name.endswith(".md"):
            continue
        try:
            if e.is_file():  # follows links; a dangling link is no manual
                found.append(Path(e.path))
        except OSError:
            continue
    return found


# What importing corvane.morlek here read: (its alias map, the identity of the file it read it
# from), for the first load_aliases() of the same file to take instead of reading it again.
_read_at_import = None
_MODULE_ALIAS_FILE = os.path.join("data", "manual_alias.json")  # what the module reads at import


def _file_identity(path):
    try:
        st = os.stat(path)
    except OSError:
        return None
    return (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)


def quiet_morlek():
    """corvane.morlek, imported without the line it prints when the working directory has no
    usable data/manual_alias.json (the commands read the data folder's own alias file)."""
    global _read_at_import
    if "corvane.morlek" not in sys.modules:
        before = _file_identity(_MODULE_ALIAS_FILE)
        with contextlib.redirect_stdout(io.StringIO()):
            import corvane.morlek  # noqa: F401
        morlek = sys.modules["corvane.morlek"]
        if before is not None and _file_identity(_MODULE_ALIAS_FILE) == before:
            _read_at_import = (morlek.MANUAL_ALIAS_MAP, before)
    return sys.modules["corvane.morlek"]


def _taken_from_import(morlek, path):
    """The module's alias map when it was read at import from this very file, unchanged since,
    and is still the module's (once: later calls read the file)."""
    global _read_at_import
    got, _read_at_import = _read_at_import, None
    if got is None or morlek.MANUAL_ALIAS_MAP is not got[0] or not got[0]:
        return None  # an empty map may stand for a failure, whose text only a read gives
    return got[0] if _file_identity(path) == got[1] else None


def load_aliases(data: DataDir, command: str, stdout_ok: bool = True) -> dict:
    """The data folder's alias map ({} when its alias file is missing or unusable).

    An unusable file gets the module's failure line (on stdout, or on stderr when the
    command's stdout is for scripts: ``stdout_ok`` false) and, when the file is there, one
    warning naming it on stderr, so it is not lost in captured output.  A missing alias file
    is no error: it is optional."""
    morlek = quiet_morlek()
    path = data.display(ALIAS_FILE)
    taken = _taken_from_import(morlek, path)
    if taken is not None:  # a large catalog's alias file is read once per command
        return taken
    mapping, failure = morlek.read_alias_file(path)
    if failure is None:
        return mapping
    print(ALIAS_FAILURE + failure, file=sys.stdout if stdout_ok else sys.stderr, flush=True)
    if os.path.lexists(path):
        detail = failure[len(path) + 2:] if failure.startswith(path + ": ") else failure
        print(f"corvane {command}: warning: alias file {path} not used, going on without aliases: {detail}",
              file=sys.stderr)
    return mapping


def check_aliases(data: DataDir, command: str, stdout_ok: bool = True) -> None:
    """What load_aliases says of the data folder's alias file, for a command that does not
    use the map: a file sure to be well formed is checked without being read into one (and
    without importing corvane.morlek, whose import reads the working folder's file)."""
    if "corvane.morlek" not in sys.modules:
        from corvane import _engine

        if _engine.alias_file_ok(data.display(ALIAS_FILE)):
            return
    load_aliases(data, command, stdout_ok)


def import_morlek(data: DataDir, command: str, stdout_ok: bool = True) -> None:
    """Old name: reads the alias file and makes it corvane.morlek's alias map."""
    quiet_morlek().MANUAL_ALIAS_MAP = load_aliases(data, command, stdout_ok)
