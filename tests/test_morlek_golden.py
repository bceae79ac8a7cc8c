import pytest

from corvane import morlek
from golden_runner import load_cases, run_case


@pytest.mark.parametrize(
    "case",
    load_cases("morlek_keywords") + load_cases("morlek_intent") + load_cases("morlek_context") + load_cases("morlek_search"),
)
def test_golden(case, tmp_path):
    run_case(morlek, case, tmp_path)
