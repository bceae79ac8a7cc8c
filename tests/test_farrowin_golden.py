import pytest

from corvane import farrowin
from golden_runner import load_cases, run_case


@pytest.mark.parametrize("case", load_cases("farrowin"))
def test_golden(case, tmp_path):
    run_case(farrowin, case, tmp_path)
