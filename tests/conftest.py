"""Shared test setup.

corvane.morlek reads data/manual_alias.json from the working directory once,
when it is first imported.  The golden vectors expect the map of
tests/golden/manual_alias.json, so the suite imports morlek from a folder that
holds that file before any test runs.  Tests that need another map run the
interpreter in a subprocess.
"""
import os
import shutil
import sys
import tempfile
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).parent))

GOLDEN = Path(__file__).parent / "golden"


def pytest_configure(config):
    folder = Path(tempfile.mkdtemp(prefix="corvane-alias-"))
    (folder / "data").mkdir()
    shutil.copy(GOLDEN / "manual_alias.json", folder / "data" / "manual_alias.json")
    old = os.getcwd()
    os.chdir(folder)
    try:
        try:
            import corvane.morlek  # noqa: F401
        except ImportError:
            pass
    finally:
        os.chdir(old)
        shutil.rmtree(folder, ignore_errors=True)


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    """An empty working folder that is the current directory during the test."""
    monkeypatch.chdir(tmp_path)
    return tmp_path


class _EngineLog:
    """What the engine logged (its notes), taken piece by piece."""

    def __init__(self):
        import io
        import logging

        self.stream = io.StringIO()
        self.handler = logging.StreamHandler(self.stream)
        self.logger = logging.getLogger("corvane.engine")

    def take(self) -> str:
        text = self.stream.getvalue()
        self.stream.seek(0)
        self.stream.truncate()
        return text


@pytest.fixture
def engine_log():
    log = _EngineLog()
    log.logger.addHandler(log.handler)
    log.logger.propagate = False  # pytest's own capture keeps every record (a leak to the leak checks)
    try:
        yield log
    finally:
        log.logger.removeHandler(log.handler)
        log.logger.propagate = True
