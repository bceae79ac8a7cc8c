import pytest

from corvane import plaxon
from golden_runner import load_cases, run_case


@pytest.mark.parametrize("case", load_cases("plaxon_text") + load_cases("plaxon_tree") + load_cases("plaxon_scene"))
def test_golden(case, tmp_path):
    run_case(plaxon, case, tmp_path)
