"""The deployment files: the image's entry command run on this host, the image build
(where a container builder is installed), compose and Kubernetes manifests checked
against the flags and environment variables the service really accepts."""
from __future__ import annotations

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

yaml = pytest.importorskip("yaml")

ROOT = Path(__file__).resolve().parent.parent
DEPLOY = ROOT / "deploy"
ENV_RE = re.compile(r"\b(?:CORVANE|HARLUNE)_[A-Z0-9_]+\b")


# --- what the service accepts, read from the code at test time ------------------------


def serve_parser() -> argparse.ArgumentParser:
    from corvane.__main__ import build_parser

    parser = build_parser()
    return parser._subparsers._group_actions[0].choices["serve"]


def known_env() -> set[str]:
    """Variables the serve command documents (its --help) or its settings table declares."""
    names = set(ENV_RE.findall(serve_parser().format_help()))
    try:
        import corvane.settings as settings  # the settings table, where there is one
    except ImportError:
        return names
    for value in vars(settings).values():
        items = value.values() if isinstance(value, dict) else value if isinstance(value, (list, tuple)) else ()
        for item in items:
            env = getattr(item, "env", None)
            if isinstance(env, str):
                names.add(env)
    return names


def check_serve_args(args: list[str], where: str) -> argparse.Namespace:
    """The real parser must accept the arguments (argparse exits on an unknown or bad one)."""
    try:
        return serve_parser().parse_args(args)
    except SystemExit:
        pytest.fail(f"{where}: `corvane serve` does not accept {args}")


# --- Dockerfile ------------------------------------------------------------------------


def dockerfile() -> dict:
    """Instructions of the Dockerfile (continuation lines joined): name -> list of arguments."""
    text = (ROOT / "Dockerfile").read_text()
    joined = re.sub(r"\\\n", " ", text)
    out: dict[str, list[str]] = {}
    for line in joined.splitlines():
        line = line.strip()
        if line and not line.startswith("#"):
            word, _, rest = line.partition(" ")
            out.setdefault(word.upper(), []).append(rest.strip())
    return out


def entry_command() -> list[str]:
    d = dockerfile()
    return json.loads(d["ENTRYPOINT"][-1]) + json.loads(d["CMD"][-1])


def test_dockerfile_shape():
    d = dockerfile()
    stages = [f for f in d["FROM"]]
    assert len(stages) == 2 and stages[0].endswith("AS build") and stages[1].endswith("AS runtime")
    assert any("[serve]" in r for r in d["RUN"])
    user = d["USER"][-1].split(":")[0]
    assert user not in ("root", "0")
    assert "/healthz" in d["HEALTHCHECK"][-1]
    assert json.loads(d["VOLUME"][-1]) == ["/data"]
    command = entry_command()
    assert command[:2] == ["corvane", "serve"]
    check_serve_args(command[2:], "Dockerfile ENTRYPOINT + CMD")
    # the build context holds what the wheel build needs
    ignore = (ROOT / ".dockerignore").read_text().splitlines()
    for needed in ("pyproject.toml", "CMakeLists.txt", "src/", "python/", "tools/gen_unicode_tables.py"):
        assert f"!{needed}" in ignore


@pytest.fixture(scope="module")
def published(tmp_path_factory):
    """A host folder laid out as the image's /data: data/releases/current -> a built release."""
    pytest.importorskip("corvane.ostrel")
    from corvane import releases

    top = tmp_path_factory.mktemp("image-root")
    shutil.copytree(ROOT / "examples" / "data", top / "data", ignore=shutil.ignore_patterns("scene_index.*", "trees", "releases", ".cvtmp-*"))
    run = subprocess.run([sys.executable, "-m", "corvane", "index", "--data-dir", str(top / "data"),
                          "--out", str(top / "data" / "releases")],
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    releases.publish(str(top / "data" / "releases"))
    return top


def test_entry_command_runs_on_the_host(published):
    """The image's command, with /data mapped to a host folder, serves and passes the health check."""
    pytest.importorskip("uvicorn")
    sys.path.insert(0, str(Path(__file__).parent))
    from service_support import ServerProcess

    command = entry_command()
    args = [a.replace("/data", str(published / "data")) if a.startswith("/data") else a for a in command[2:]]
    args = [a for a in args]
    port_at = args.index("--port")
    del args[port_at:port_at + 2]  # ServerProcess picks a free port
    args[args.index("--host") + 1] = "127.0.0.1"
    with ServerProcess(published, *args) as server:
        import httpx

        health = httpx.get(server.url + "/healthz", timeout=5).json()
        assert health["status"] == "ok" and health["entries"] > 0
        # the HEALTHCHECK line itself, pointed at this port
        check = json.loads(dockerfile()["HEALTHCHECK"][-1].split("CMD", 1)[1])
        assert check[0] == "python"
        code = check[-1].replace("127.0.0.1:8000", f"127.0.0.1:{server.port}")
        assert subprocess.run([sys.executable, *check[1:-1], code], timeout=30).returncode == 0


def _builder() -> str | None:
    for tool in ("podman", "buildah"):
        if shutil.which(tool):
            return tool
    return None


def test_image_builds():
    """Builds the image where podman or buildah is installed and the base image is present locally
    (no download from a test); skipped otherwise.  CORVANE_IMAGE_BUILD=1 lets the builder pull it;
    CORVANE_IMAGE_BASE names another base (a python image), CORVANE_BUILD_ISOLATION the builder's
    isolation (chroot where the builder cannot make cgroups)."""
    tool = _builder()
    if tool is None:
        pytest.skip("no container builder (apt-get install podman or buildah) - image build not tested")
    base = os.environ.get("CORVANE_IMAGE_BASE") or \
        re.search(r"ARG PYTHON_IMAGE=(\S+)", (ROOT / "Dockerfile").read_text()).group(1)
    have = subprocess.run([tool, "image", "exists" if tool == "podman" else "inspect", base],
                          capture_output=True, timeout=60).returncode == 0
    if not have and os.environ.get("CORVANE_IMAGE_BUILD") != "1":
        pytest.skip(f"base image {base} not present locally ({tool} pull {base}, or CORVANE_IMAGE_BUILD=1)")
    cmd = [tool, "build" if tool == "podman" else "bud", "-t", "localhost/corvane:test",
           "--build-arg", f"PYTHON_IMAGE={base}"]
    if os.environ.get("CORVANE_BUILD_ISOLATION"):
        cmd += ["--isolation", os.environ["CORVANE_BUILD_ISOLATION"]]
    out = subprocess.run([*cmd, str(ROOT)], capture_output=True, text=True, timeout=3600)
    assert out.returncode == 0, out.stderr[-4000:]
    (info,) = json.loads(subprocess.run([tool, "image", "inspect", "localhost/corvane:test"], capture_output=True,
                                        text=True, check=True, timeout=60).stdout)
    config = info.get("Config") or info.get("config") or {}
    assert config["User"] == "10001:10001"
    assert config["Entrypoint"] == ["corvane", "serve"] and "/data" in config.get("Volumes", {})


# --- compose --------------------------------------------------------------------------------


def test_compose_two_replicas_behind_the_proxy():
    compose = yaml.safe_load((DEPLOY / "compose.yaml").read_text())
    services = compose["services"]
    replicas = [name for name, s in services.items() if s.get("image", "").startswith("corvane") and
                "profiles" not in s]
    assert len(replicas) == 2
    conf = (DEPLOY / "nginx.conf").read_text()
    for name in replicas:
        s = services[name]
        assert s["read_only"] is True
        assert any(v.endswith(":/data:ro") for v in s["volumes"])
        check_serve_args(s["command"], f"compose {name} command")
        assert set(s.get("environment", {})) <= known_env(), f"compose {name}: unknown variables"
        assert re.search(rf"server\s+{re.escape(name)}:8000", conf), f"nginx.conf lacks {name}"
    proxy = services["proxy"]
    assert proxy["image"].startswith("docker.io/library/nginx:")
    assert "./nginx.conf:/etc/nginx/nginx.conf:ro" in proxy["volumes"]
    assert conf.count("{") == conf.count("}")


# --- Kubernetes -------------------------------------------------------------------------------


def manifests() -> dict[str, dict]:
    out = {}
    for path in sorted((DEPLOY / "k8s").glob("*.yaml")):
        for doc in yaml.safe_load_all(path.read_text()):
            if doc:
                out[f"{doc['kind']}/{doc['metadata']['name'] if 'metadata' in doc else path.name}"] = doc
    return out


def app_paths() -> set[str]:
    """The GET paths of the real application (its routes are made without opening an index)."""
    import corvane.readiness as readiness

    source = (ROOT / "python" / "corvane" / "service" / "app.py").read_text()
    return set(re.findall(r"@app\.get\(\"([^\"]+)\"", source)) | set(readiness.PATHS)


def test_kubernetes_manifests_match_the_service():
    docs = manifests()
    deployment = docs["Deployment/corvane"]
    wanted = deployment["spec"]
    assert wanted["replicas"] == 2
    pod = wanted["template"]["spec"]
    assert wanted["selector"]["matchLabels"].items() <= wanted["template"]["metadata"]["labels"].items()
    (container,) = pod["containers"]
    check_serve_args(container["args"], "Deployment args")
    env = {e["name"] for e in container.get("env", [])}
    assert env <= known_env(), f"Deployment env not known to the service: {sorted(env - known_env())}"
    assert container["readinessProbe"]["httpGet"]["path"] == "/readyz"
    assert container["livenessProbe"]["httpGet"]["path"] == "/healthz"
    port = int(container["args"][container["args"].index("--port") + 1])
    assert container["ports"][0]["containerPort"] == port
    for probe in ("readinessProbe", "livenessProbe", "startupProbe"):
        assert container[probe]["httpGet"]["path"] in app_paths()
        assert container[probe]["httpGet"]["port"] in ("http", port)
    assert container["securityContext"]["readOnlyRootFilesystem"] is True
    assert pod["securityContext"]["runAsNonRoot"] is True
    assert {"cpu", "memory"} <= container["resources"]["requests"].keys()
    # the data folder the args name is the read-only index volume
    data_dir = container["args"][container["args"].index("--data-dir") + 1]
    mounts = {m["name"]: m for m in container["volumeMounts"]}
    volumes = {v["name"]: v for v in pod["volumes"]}
    index = next(m for m in mounts.values() if data_dir.startswith(m["mountPath"].rstrip("/") + "/"))
    assert index["readOnly"] is True
    claim = volumes[index["name"]]["persistentVolumeClaim"]["claimName"]
    assert f"PersistentVolumeClaim/{claim}" in docs
    service = docs["Service/corvane"]
    assert service["spec"]["selector"].items() <= wanted["template"]["metadata"]["labels"].items()
    assert service["spec"]["ports"][0]["targetPort"] in ("http", port)
    hpa = docs["HorizontalPodAutoscaler/corvane"]
    assert hpa["spec"]["scaleTargetRef"] == {"apiVersion": "apps/v1", "kind": "Deployment", "name": "corvane"}
    assert hpa["spec"]["minReplicas"] >= 2
    kustomization = yaml.safe_load((DEPLOY / "k8s" / "kustomization.yaml").read_text())
    assert sorted(kustomization["resources"]) == sorted(
        p.name for p in (DEPLOY / "k8s").glob("*.yaml") if p.name != "kustomization.yaml")


class WiredServer:
    """The service with the deployment layers (service_wiring.install) on a free port."""

    CODE = ("import sys, uvicorn; from corvane.service.app import create_app; "
            "from corvane.service.cli import log_config; from corvane.service_wiring import install; "
            "app = create_app(sys.argv[1], api_token=''); install(app, data_dir=sys.argv[1]); "
            "uvicorn.run(app, host='127.0.0.1', port=int(sys.argv[2]), log_config=log_config(), access_log=False)")

    def __init__(self, cwd, data_dir):
        import time

        import httpx
        from service_support import free_port

        self.port = free_port()
        self.log_path = Path(cwd) / f"wired-{self.port}.log"
        self._log = open(self.log_path, "wb")
        self.proc = subprocess.Popen([sys.executable, "-c", self.CODE, str(data_dir), str(self.port)], cwd=cwd,
                                     stdout=self._log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 60
        while True:
            try:
                if httpx.get(f"http://127.0.0.1:{self.port}/readyz", timeout=1).status_code == 200:
                    return
            except httpx.HTTPError:
                pass
            assert self.proc.poll() is None and time.monotonic() < deadline, self.log()
            time.sleep(0.1)

    def log(self):
        self._log.flush()
        return self.log_path.read_text(errors="replace")

    def stop(self):
        self.proc.terminate()
        self.proc.wait(30)
        self._log.close()


def test_proxy_config_spreads_and_keeps_request_ids(published, tmp_path):
    """deploy/nginx.conf in front of two real servers (where nginx is installed): every request
    answered, a client's id passed through, one made for the others, one key sticks to one replica."""
    nginx = shutil.which("nginx") or ("/usr/sbin/nginx" if os.path.exists("/usr/sbin/nginx") else None)
    if nginx is None:
        pytest.skip("nginx not installed (apt-get install nginx-light) - proxy config not run")
    pytest.importorskip("uvicorn")
    import time

    import httpx

    sys.path.insert(0, str(Path(__file__).parent))
    from service_support import free_port

    servers = [WiredServer(published, published / "data" / "releases" / "current") for _ in range(2)]
    port = free_port()
    conf = (DEPLOY / "nginx.conf").read_text()
    for i, s in enumerate(servers, 1):
        conf = conf.replace(f"corvane-{i}:8000", f"127.0.0.1:{s.port}")
    conf = conf.replace("listen 8080;", f"listen 127.0.0.1:{port};")
    (tmp_path / "nginx.conf").write_text(conf)
    proxy = subprocess.Popen([nginx, "-p", str(tmp_path), "-c", str(tmp_path / "nginx.conf"), "-e", "stderr",
                              "-g", "daemon off;"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        url = f"http://127.0.0.1:{port}"
        deadline = time.monotonic() + 30
        while True:
            try:
                httpx.get(url + "/healthz", timeout=2)
                break
            except httpx.HTTPError:
                assert proxy.poll() is None and time.monotonic() < deadline, proxy.stderr.read().decode()
                time.sleep(0.1)
        with httpx.Client(base_url=url, timeout=10) as client:
            search = {"question": "三包责任承诺"}
            r = client.post("/v1/search", json=search, headers={"X-Request-ID": "op-7"})
            assert r.status_code == 200 and r.headers["x-request-id"] == "op-7"
            for given in (None, "bad id", "x" * 129):
                headers = {"X-Request-ID": given} if given else {}
                made = client.post("/v1/search", json=search, headers=headers).headers["x-request-id"]
                assert re.fullmatch(r"[0-9a-f]{32}", made)
            def logged(total: int) -> list:
                # Access lines are written after the response: wait for the ones sent so far.
                end = time.monotonic() + 10
                while True:
                    counts = [s.log().count('"/v1/search"') for s in servers]
                    if sum(counts) >= total or time.monotonic() > end:
                        return counts
                    time.sleep(0.05)

            before = logged(4)
            for _ in range(10):
                assert client.post("/v1/search", json=search, headers={"Authorization": "Bearer one"}).status_code == 200
            grew = [c - b for c, b in zip(logged(14), before)]
            assert sorted(grew) == [0, 10], grew  # one client, one replica
            for i in range(40):
                assert client.post("/v1/search", json=search,
                                   headers={"Authorization": f"Bearer c{i}"}).status_code == 200
            assert all(s.log().count('"/v1/search"') > 1 for s in servers)  # clients spread over both
    finally:
        proxy.terminate()
        proxy.wait(10)
        for s in servers:
            s.stop()
