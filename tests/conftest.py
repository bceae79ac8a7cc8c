"""Shared test setup.

corvane.morlek reads data/manual_alias.json from the working directory once,
when it is first imported.  The golden vectors expect the map of
tests/golden/manual_alias.json, so the suite imports morlek from a folder that
holds that file before any test runs.  Tests that need another map run the
interpreter in a subprocess.

Two tiers: ``pytest tests`` runs everything; ``pytest -m "not slow" tests`` leaves
out the tests named in SLOW below (the hostile harness, the leak rounds, the
big-input cases, the subprocess tables, the multi-process service runs) and
runs the property tests with the "fast" Hypothesis profile.  The profiles hold
every Hypothesis setting; ``--hypothesis-profile NAME`` (or HYPOTHESIS_PROFILE)
picks one explicitly.
"""
import os
import shutil
import sys
import tempfile
from pathlib import Path

import pytest
from hypothesis import HealthCheck, settings

sys.path.insert(0, str(Path(__file__).parent))

GOLDEN = Path(__file__).parent / "golden"

# Services the tests start keep their answers' feedback here, not in the working folder.
os.environ.setdefault("CORVANE_DATABASE", os.path.join(tempfile.mkdtemp(prefix="corvane-feedback-"), "feedback.db"))

# No deadline and no speed health check: a loaded machine must not fail a test.
_QUIET = [HealthCheck.too_slow]
settings.register_profile("full", max_examples=400, deadline=None, suppress_health_check=_QUIET)
settings.register_profile("fast", max_examples=25, deadline=None, suppress_health_check=_QUIET)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "full"))

# The slow tier: file -> test functions ("*": the whole file).
SLOW = {
    "test_hostile.py": "*",
    "test_leaks.py": "*",
    "test_service_browser.py": "*",
    "test_ostrel_kill.py": ["test_killed_runs_leave_old_or_new_index"],
    "test_cli.py": ["test_cli", "test_readme_first_setup_line_runs"],
    "test_cli_wiring.py": ["test_serve_runs_with_the_file_settings"],
    "test_reliability.py": [
        "test_fifty_megabyte_line", "test_two_hundred_thousand_headings",
        "test_over_long_index_line_is_refused_before_it_is_read", "test_longest_allowed_line_is_measured_exactly",
        "test_key_never_printed_by_the_self_check_command",
    ],
    "test_plaxon.py": ["test_nesting_past_the_recursion_limit_raises_recursion_error"],
    "test_ostrel_json.py": ["test_deep_nesting_is_a_recursion_error"],
    "test_service.py": ["test_binds_to_loopback_by_default", "test_server_ranker_flag_and_missing_index"],
    "test_service_reload.py": [
        "test_rebuilds_under_load_fail_no_request_and_mix_no_index", "test_sigterm_lets_the_request_in_flight_finish",
        "test_two_workers_serve_and_report_metrics_together",
    ],
}


def pytest_configure(config):
    if not config.getoption("hypothesis_profile", None) and "HYPOTHESIS_PROFILE" not in os.environ:
        if "not slow" in (config.getoption("markexpr", "") or ""):
            settings.load_profile("fast")
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


@pytest.hookimpl(tryfirst=True)
def pytest_collection_modifyitems(session, config, items):
    """Marks the SLOW tests; a name there that no longer exists in a fully collected file is an error."""
    seen: dict[str, set] = {}
    for item in items:
        name = item.path.name
        function = getattr(item, "originalname", None) or item.name.split("[")[0]
        seen.setdefault(name, set()).add(function)
        wanted = SLOW.get(name)
        if wanted == "*" or (wanted and function in wanted):
            item.add_marker(pytest.mark.slow)
    whole_files = not any("::" in arg for arg in config.args) and not config.getoption("keyword", "")
    if whole_files:
        stale = [f"{name}::{function}" for name, functions in SLOW.items() if name in seen and functions != "*"
                 for function in functions if function not in seen[name]]
        if stale:
            raise pytest.UsageError(f"tests/conftest.py SLOW names tests that do not exist: {stale}")
