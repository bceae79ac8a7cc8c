"""The data folder of a command, and watching what the modules print.

The modules read and write fixed paths relative to the working directory
("data/manuals", "data/trees", "data/scene_index.jsonl",
"data/manual_alias.json"), and morlek reads the alias file when it is first
imported.  A command honours ``--data-dir DIR`` by running with a working
directory whose ``data`` is DIR: the parent of DIR when DIR is named ``data``,
otherwise a private temporary folder holding one symbolic link ``data`` -> DIR
(removed afterwards; DIR itself is never touched by that).  Paths the user
typed are resolved before the switch, and messages name the files by the path
the user gave.
"""
from __future__ import annotations

import contextlib
import os
import re
import shutil
import sys
import tempfile
from pathlib import Path
from typing import Callable, Iterator, TextIO

ALIAS_FAILURE = "加载手工别名文件失败: "
ALIAS_FILE = "manual_alias.json"
INDEX_FILE = "scene_index.jsonl"
COMPILED_FILE = "scene_index.cvx"  # the query engine's compiled index, beside INDEX_FILE
MANUALS = "manuals"

# "data/" at the start of a path inside a module's message (not "xdata/" or "a/data/").
_LIBRARY_PATH = re.compile(r"(?<![\w./\\-])data/")


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

    def show(self, text: str) -> str:
        """A module's message with its working-directory paths ("data/...") written as the user's."""
        if self.shown == "data":
            return text
        prefix = self.display("x")[:-1]
        return _LIBRARY_PATH.sub(lambda _m: prefix, text)

    def exists(self) -> bool:
        return self.path.is_dir()

    @contextlib.contextmanager
    def entered(self) -> Iterator[None]:
        """Runs the block with a working directory whose ``data`` is this folder."""
        old = os.getcwd()
        link_home = None
        if self.path.name == "data":
            target = str(self.path.parent)
        else:
            link_home = tempfile.mkdtemp(prefix="corvane-data-")
            os.symlink(self.path, os.path.join(link_home, "data"), target_is_directory=True)
            target = link_home
        try:
            if os.path.realpath(target) != os.path.realpath(old) or link_home:
                os.chdir(target)
            yield
        finally:
            os.chdir(old)
            if link_home is not None:
                with contextlib.suppress(OSError):
                    os.unlink(os.path.join(link_home, "data"))
                shutil.rmtree(link_home, ignore_errors=True)


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


class LineTee:
    """A text stream that forwards everything to ``target`` and hands each complete
    line (without its line break) to ``on_line`` once it has been written."""

    def __init__(self, target: TextIO, on_line: Callable[[str], None],
                 around_write: Callable[[], contextlib.AbstractContextManager] | None = None):
        self._target = target
        self._on_line = on_line
        self._around = around_write
        self._pending = ""

    def write(self, s: str) -> int:
        self._pending += s
        if "\n" not in self._pending:
            return len(s)
        done, _, self._pending = self._pending.rpartition("\n")
        text = done + "\n"
        if self._around is not None:
            with self._around():
                self._target.write(text)
                self._target.flush()
        else:
            self._target.write(text)
        for line in done.split("\n"):
            self._on_line(line)
        return len(s)

    def flush(self) -> None:
        if self._pending:
            self._target.write(self._pending)
            self._pending = ""
        self._target.flush()

    def __getattr__(self, name):  # encoding, isatty, fileno, ... of the real stream
        return getattr(self._target, name)


def import_morlek(data: DataDir, command: str, stdout_ok: bool = True) -> None:
    """Imports corvane.morlek (which reads the alias file) inside the data folder.

    Its failure line stays where the module prints it (stdout), or goes to stderr when
    the command's stdout is for scripts (``stdout_ok`` false).  When the alias file is
    there but could not be used, one warning naming it also goes to stderr, so it is not
    lost in captured output.  A missing alias file is no error: it is optional.
    """
    if "corvane.morlek" in sys.modules:
        return
    failures: list[str] = []

    def seen(line: str) -> None:
        if line.startswith(ALIAS_FAILURE):
            failures.append(line[len(ALIAS_FAILURE):])

    tee = LineTee(sys.stdout if stdout_ok else sys.stderr, seen)
    try:
        with contextlib.redirect_stdout(tee):
            import corvane.morlek  # noqa: F401
    finally:
        tee.flush()
    if failures and os.path.lexists(os.path.join("data", ALIAS_FILE)):
        shown = data.display(ALIAS_FILE)
        detail = data.show(failures[0])
        if detail.startswith(shown + ": "):
            detail = detail[len(shown) + 2:]
        print(f"corvane {command}: warning: alias file {shown} not used, going on without aliases: {detail}",
              file=sys.stderr)
