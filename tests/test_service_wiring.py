"""The deployment layers on the real application: keys and limits, the old token,
request ids, /readyz and the rate-limit metric."""
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("fastapi")
pytest.importorskip("corvane.ostrel")
from fastapi.testclient import TestClient  # noqa: E402

from corvane.keys import add_key  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent


@pytest.fixture(scope="module")
def data(tmp_path_factory):
    top = tmp_path_factory.mktemp("wired")
    shutil.copytree(ROOT / "examples" / "data", top / "data")
    subprocess.run([sys.executable, "-c", "from corvane.ostrel import ostrel_main; ostrel_main()"],
                   cwd=top, check=True, capture_output=True, timeout=120)
    return top / "data"


def test_keys_token_request_ids_and_readyz_on_the_real_app(data, tmp_path):
    from corvane.service.app import create_app
    from corvane.service_wiring import install

    keys_file = str(tmp_path / "keys.json")
    key, _ = add_key(keys_file, "kiosk", requests_per_minute=3, model_calls_per_minute=1)
    app = create_app(str(data), api_token="", reload_interval=0)
    install(app, data_dir=str(data), keys_file=keys_file, token="shared-token")
    with TestClient(app) as client:
        assert client.get("/healthz").status_code == 200
        ready = client.get("/readyz")
        assert ready.status_code == 200 and ready.json()["checks"] == {"index": "ok", "keys_file": "ok"}
        question = {"question": "三包责任承诺"}
        r = client.post("/v1/search", json=question)
        assert r.status_code == 401 and r.json()["error"]["request_id"] == r.headers["x-request-id"]
        auth = {"Authorization": f"Bearer {key}", "X-Request-ID": "kiosk-1"}
        codes = [client.post("/v1/search", json=question, headers=auth).status_code for _ in range(4)]
        assert codes == [200, 200, 200, 429]
        r = client.post("/v1/search", json=question, headers=auth)
        assert r.headers["x-request-id"] == "kiosk-1" and int(r.headers["retry-after"]) >= 1
        assert r.json()["error"] == {"code": "rate_limited", "message": r.json()["error"]["message"],
                                     "retry_after": int(r.headers["retry-after"]), "request_id": "kiosk-1"}
        # the single token keeps working, limited apart from the key
        r = client.post("/v1/search", json=question, headers={"Authorization": "Bearer shared-token"})
        assert r.status_code == 200 and r.json()["results"]
        metrics = client.get("/metrics", headers={"Authorization": "Bearer shared-token"}).text
        assert 'corvane_rate_limited_total{client="kiosk",limit="requests"} 2.0' in metrics
        assert key not in metrics
