"""Running corvane in a fresh interpreter: modules that read files at import
(the alias map, the scene index) need their own process per working folder."""
from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path


def run_python(code: str, cwd: Path, check: bool = True, timeout: float = 120) -> subprocess.CompletedProcess:
    env = dict(os.environ, PYTHONIOENCODING="utf-8")
    proc = subprocess.run([sys.executable, "-c", code], cwd=cwd, capture_output=True, text=True,
                          encoding="utf-8", env=env, timeout=timeout)
    if check and proc.returncode != 0:
        raise AssertionError(f"exit {proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}")
    return proc


def run_cli(args: list[str], cwd: Path, check: bool = True, timeout: float = 120) -> subprocess.CompletedProcess:
    return run_python(f"import sys; from corvane.__main__ import main; sys.exit(main({args!r}))", cwd, check, timeout)


def without_root_powers(command: list[str]) -> list[str]:
    """`command` run so that file permissions bind it even under root (which otherwise writes anything);
    the calling test is skipped where that cannot be arranged."""
    if os.geteuid() != 0:
        return command
    import pytest

    setpriv = shutil.which("setpriv")
    if not setpriv:
        pytest.skip("running as root without setpriv")
    return [setpriv, "--bounding-set", "-dac_override,-dac_read_search"] + command


def copy_tree(src: Path, dst: Path) -> Path:
    shutil.copytree(src, dst, dirs_exist_ok=True)
    return dst
