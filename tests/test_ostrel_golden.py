import pytest

from corvane import ostrel
from golden_runner import load_cases, run_case


@pytest.mark.parametrize("case", load_cases("ostrel_record"))
def test_golden(case, tmp_path):
    run_case(ostrel, case, tmp_path)
