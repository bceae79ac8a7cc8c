"""Index releases: build into a versioned folder, atomic publish/rollback under readers, pruning."""
import argparse
import io
import json
import os
import shutil
import threading
import time
from pathlib import Path

import pytest

from corvane import releases
from corvane.releases import ReleaseError, build, list_releases, prune, publish, release_id_of, rollback

ROOT = Path(__file__).resolve().parent.parent


def fake_index(text):
    """A stand-in for `corvane index`: writes a scene index from the manuals it sees."""
    def run(folder):
        manuals = sorted(os.listdir(os.path.join(folder, "manuals")))
        with open(os.path.join(folder, "scene_index.jsonl"), "w") as fh:
            fh.write(json.dumps({"text": text, "manuals": manuals}) + "\n")
        with open(os.path.join(folder, "scene_index.cvx"), "wb") as fh:
            fh.write(text.encode() * 100)
        return 0
    return run


@pytest.fixture
def data(tmp_path):
    d = tmp_path / "data"
    (d / "manuals").mkdir(parents=True)
    (d / "manuals" / "a.md").write_text("# a\n")
    (d / "manual_alias.json").write_text("{}")
    return d


def make(data, text, when):
    return build(str(data), str(data / "releases"), fake_index(text), when=when)


def test_build_makes_a_complete_immutable_release_and_leaves_data_alone(data):
    before = sorted(os.listdir(data))
    r = make(data, "one", when=1_765_000_000)
    assert r.id.startswith("20251206T054640Z-") and releases.ID_RE.fullmatch(r.id)
    files = sorted(os.listdir(r.path))
    assert files == ["manual_alias.json", "release.json", "scene_index.cvx", "scene_index.jsonl"]  # no manuals link
    assert sorted(os.listdir(data)) == sorted(before + ["releases"])
    assert releases.verify(r.path)["id"] == r.id
    assert not os.access(os.path.join(r.path, "scene_index.jsonl"), os.W_OK) or os.geteuid() == 0
    # same content: same hash part
    assert make(data, "one", when=1_765_000_001).id.split("-")[1] == r.id.split("-")[1]
    assert make(data, "two", when=1_765_000_002).id.split("-")[1] != r.id.split("-")[1]


def test_failed_or_empty_build_leaves_nothing(data):
    def fails(folder):
        open(os.path.join(folder, "scene_index.jsonl"), "w").close()
        raise OSError("disk full")

    with pytest.raises(OSError):
        build(str(data), str(data / "releases"), fails)
    with pytest.raises(ReleaseError, match="made no scene index"):
        build(str(data), str(data / "releases"), lambda folder: 0)
    with pytest.raises(ReleaseError, match="exit 2"):
        build(str(data), str(data / "releases"), lambda folder: 2)
    assert os.listdir(data / "releases") == []
    with pytest.raises(ReleaseError, match="no manuals folder"):
        build(str(data / "nope"), str(data / "releases"), lambda folder: 0)


def test_publish_rollback_prune(data):
    rel = str(data / "releases")
    ids = [make(data, f"v{i}", when=1_765_000_000 + i).id for i in range(4)]
    assert publish(rel) == (None, ids[-1])
    assert os.readlink(os.path.join(rel, "current")) == ids[-1]  # relative: mountable anywhere
    assert release_id_of(os.path.join(rel, "current")) == ids[-1]
    assert rollback(rel) == (ids[3], ids[2])
    assert rollback(rel) == (ids[2], ids[1])
    assert publish(rel, ids[0]) == (ids[1], ids[0])
    with pytest.raises(ReleaseError, match="is the oldest"):
        rollback(rel)
    assert rollback(rel, to=ids[3])[1] == ids[3]
    with pytest.raises(ReleaseError, match="no release 'nope'"):
        publish(rel, "nope")
    # prune keeps the newest N, and always the current one
    publish(rel, ids[0])
    assert prune(rel, 2) == [ids[1]]
    assert [r.id for r in list_releases(rel)] == [ids[0], ids[2], ids[3]]
    with pytest.raises(ReleaseError, match="--keep must be 1 or more"):
        prune(rel, 0)
    assert release_id_of(str(data)) is None  # a plain data folder is no release


def test_publish_refuses_a_damaged_release(data):
    rel = str(data / "releases")
    good = make(data, "good", when=1_765_000_000).id
    bad = make(data, "bad", when=1_765_000_100)
    publish(rel, good)
    path = os.path.join(bad.path, "scene_index.jsonl")
    os.chmod(path, 0o644)
    with open(path, "a") as fh:
        fh.write("tampered\n")
    with pytest.raises(ReleaseError, match="does not match release.json"):
        publish(rel)
    assert releases.current_id(rel) == good  # still on the good one


def test_switching_under_readers_never_fails(data):
    """Readers keep opening current/ while publish and rollback switch it: every open sees one whole release."""
    rel = str(data / "releases")
    ids = [make(data, f"v{i}", when=1_765_000_000 + i).id for i in range(3)]
    publish(rel, ids[0])
    stop = threading.Event()
    failures, reads = [], [0]
    contents = {json.dumps({"text": f"v{i}", "manuals": ["a.md"]}) + "\n" for i in range(3)}

    def reader():
        while not stop.is_set():
            try:
                with open(os.path.join(rel, "current", "scene_index.jsonl")) as fh:
                    text = fh.read()
                if text not in contents:
                    failures.append(f"unexpected content {text!r}")
                reads[0] += 1
            except OSError as exc:
                failures.append(repr(exc))

    threads = [threading.Thread(target=reader) for _ in range(3)]
    for t in threads:
        t.start()
    try:
        for i in range(150):
            publish(rel, ids[(i + 1) % 3])
            if i % 3 == 0 and releases.current_id(rel) != ids[0]:
                rollback(rel)
    finally:
        stop.set()
        for t in threads:
            t.join()
    assert failures == [] and reads[0] > 0


def test_holder_follows_the_link_within_one_interval(data):
    """The service's hot reload, watching DIR/current, switches when publish does."""
    from corvane.service.holder import IndexHolder

    rel = str(data / "releases")
    ids = [make(data, f"v{i}", when=1_765_000_000 + i).id for i in range(2)]
    publish(rel, ids[0])
    current = os.path.join(rel, "current")

    class Engine:
        def __init__(self):
            self.release = release_id_of(current)

        def close(self):
            pass

    holder = IndexHolder(current, Engine)
    interval = 0.05
    holder.start_watching(interval)
    try:
        assert holder.engine.release == ids[0]
        publish(rel, ids[1])
        deadline = time.monotonic() + 10
        while holder.engine.release != ids[1] and time.monotonic() < deadline:
            time.sleep(0.01)
        assert holder.engine.release == ids[1]
    finally:
        holder.close()


def test_commands(data):
    rel = str(data / "releases")
    make(data, "v0", when=1_765_000_000)
    new = make(data, "v1", when=1_765_000_050).id

    def run(command, *argv):
        parser = argparse.ArgumentParser()
        releases.add_arguments(parser, command)
        out = io.StringIO()
        releases.run(parser.parse_args(["--releases", rel, *argv]), out)
        return out.getvalue()

    assert run("publish") == f"current: {new}\n"
    assert run("publish", "--list").splitlines()[-1] == f"* {new}"
    assert "pruned" not in run("rollback", "--keep", "5")
    assert run("prune", "--keep", "1") == ""  # the newest, and the current (older) one, stay
    assert len(list_releases(rel)) == 2
    old = list_releases(rel)[0].id
    assert run("publish", "--keep", "1") == f"current: {new} (was {old})\npruned {old}\n"


def test_index_out_with_the_real_index_command(tmp_path):
    """`corvane index --out DIR` over the example manuals: a release the query engine opens."""
    pytest.importorskip("corvane.ostrel")
    import subprocess
    import sys

    shutil.copytree(ROOT / "examples" / "data", tmp_path / "data", ignore=shutil.ignore_patterns("scene_index.*", "trees", "releases", ".cvtmp-*"))
    index_out = [sys.executable, "-m", "corvane", "index", "--data-dir", str(tmp_path / "data"),
                 "--out", str(tmp_path / "rel")]
    out = subprocess.run(index_out,
                         capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    rid = out.stdout.strip().splitlines()[-1]
    assert releases.ID_RE.fullmatch(rid)
    assert not (tmp_path / "data" / "scene_index.jsonl").exists()  # the data folder was not indexed in place
    files = releases.verify(str(tmp_path / "rel" / rid))["files"]
    assert {"scene_index.jsonl", "scene_index.cvx", "catalog.json"} <= set(files)  # the catalog travels with it
    switched = subprocess.run([sys.executable, "-m", "corvane", "publish", "--releases", str(tmp_path / "rel")],
                              capture_output=True, text=True, timeout=60)
    assert (switched.returncode, switched.stdout) == (0, f"current: {rid}\n"), switched.stderr
    from corvane.engine import Engine

    engine = Engine(str(tmp_path / "rel" / "current"))
    try:
        assert len(engine) > 0
    finally:
        engine.close()
    # a bad manual: the error names it where the user keeps it, and no release is left behind
    (tmp_path / "data" / "manuals" / "bad.md").write_bytes(b"# \xff\n")
    out = subprocess.run(index_out,
                         capture_output=True, text=True, timeout=300)
    assert out.returncode == 2
    assert f"{tmp_path / 'data' / 'manuals' / 'bad.md'} is not UTF-8" in out.stderr, out.stderr
    assert out.stderr.rstrip().endswith("; no release was made") and ".build-" not in out.stderr
    assert [r.id for r in list_releases(str(tmp_path / "rel"))] == [rid]
    assert [n for n in os.listdir(tmp_path / "rel") if n.startswith(".build-")] == []


# --- readiness ------------------------------------------------------------------------


class Holder:
    def __init__(self, n, number=None):
        self.n = n
        self.number = number

    def use(self):
        import contextlib

        holder = self

        @contextlib.contextmanager
        def block():
            class Gen:
                engine = list(range(holder.n))
                number = holder.number
            yield Gen
        return block()


def test_readiness_checks_index_release_and_extras(data):
    from corvane.readiness import Readiness, file_readable

    rel = str(data / "releases")
    good = make(data, "good", when=1_765_000_000).id
    bad = make(data, "bad", when=1_765_000_100).id
    publish(rel, good)
    current = os.path.join(rel, "current")
    ok, body = Readiness(Holder(3), current).state()
    assert ok and body == {"status": "ready", "checks": {"index": "ok", "release": "ok"}, "release": good}
    ok, body = Readiness(Holder(0), current, [("keys", file_readable(str(data / "none.json")))]).state()
    assert not ok and body["checks"]["index"] == "no entries" and body["checks"]["keys"].startswith("failed:")
    # a release damaged after it was published (publish verifies; the probe does too)
    path = os.path.join(rel, bad, "scene_index.jsonl")
    os.chmod(path, 0o644)
    with open(path, "a") as fh:
        fh.write("x\n")
    releases._switch(rel, bad)
    ok, body = Readiness(Holder(3), current).state()
    assert not ok and "does not match" in body["checks"]["release"]
    ok, body = Readiness(Holder(3), str(data)).state()  # a plain data folder: no release check
    assert ok and "release" not in body["checks"]
    # the release shown is the one loaded: a switched link shows once the holder reloaded
    releases._switch(rel, good)
    holder = Holder(3, number=1)
    readiness = Readiness(holder, current)
    assert readiness.state()[1]["release"] == good
    other = make(data, "other", when=1_765_000_200).id
    publish(rel, other)
    assert readiness.state()[1]["release"] == good
    holder.number = 2
    ok, body = readiness.state()
    assert ok and body["release"] == other


def test_readyz_route_answers_503_when_not_ready(data):
    pytest.importorskip("fastapi")
    from fastapi import FastAPI
    from fastapi.testclient import TestClient

    from corvane.readiness import add_readyz

    app = FastAPI()
    holder = Holder(0)
    add_readyz(app, holder, str(data))
    client = TestClient(app)
    assert client.get("/readyz").status_code == 503
    holder.n = 5
    r = client.get("/readyz")
    assert r.status_code == 200 and r.json()["status"] == "ready" and r.headers["cache-control"] == "no-store"


# --- two replicas on one releases folder ------------------------------------------------------

EXTRA_MANUAL = "# 第一章 应急\n\n## 换备胎\n\n### 说明\n停车后更换备胎。\n\n## 备胎存放位置\n\n### 说明\n备胎位于行李箱地板下方。\n"


def _build_real(data_dir, out):
    import subprocess
    import sys

    run = subprocess.run([sys.executable, "-m", "corvane", "index", "--data-dir", str(data_dir), "--out", str(out)],
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    return run.stdout.strip().splitlines()[-1]


def test_replicas_follow_publish_and_rollback_under_load(tmp_path):
    """Two servers on DIR/current while clients keep searching: no failed request, both switch."""
    pytest.importorskip("uvicorn")
    pytest.importorskip("corvane.ostrel")
    import sys

    import httpx

    sys.path.insert(0, str(Path(__file__).parent))
    from service_support import ServerProcess

    shutil.copytree(ROOT / "examples" / "data", tmp_path / "data", ignore=shutil.ignore_patterns("scene_index.*", "trees", "releases", ".cvtmp-*"))
    rel = tmp_path / "data" / "releases"
    first = _build_real(tmp_path / "data", rel)
    (tmp_path / "data" / "manuals" / "zz_extra.md").write_text(EXTRA_MANUAL, encoding="utf-8")
    time.sleep(1.1)  # ids are to the second
    second = _build_real(tmp_path / "data", rel)
    publish(str(rel), first)
    interval = 0.3
    args = ["--data-dir", str(rel / "current"), "--reload-interval", str(interval)]
    servers = [ServerProcess(tmp_path, *args), ServerProcess(tmp_path, *args)]
    stop = threading.Event()
    failures, done = [], [0]

    def load(url):
        with httpx.Client(timeout=30) as client:
            while not stop.is_set():
                try:
                    r = client.post(url + "/v1/search", json={"question": "爆胎了怎么换备胎"})
                    if r.status_code != 200:
                        failures.append(r.status_code)
                    done[0] += 1
                except httpx.HTTPError as exc:
                    failures.append(repr(exc))

    def entries(server):
        return httpx.get(server.url + "/healthz", timeout=10).json()["entries"]

    def wait_all(value, since):
        seen = {}
        deadline = time.monotonic() + 60
        while len(seen) < len(servers) and time.monotonic() < deadline:
            for i, s in enumerate(servers):
                if i not in seen and entries(s) == value:
                    seen[i] = time.monotonic() - since
            time.sleep(0.02)
        assert len(seen) == len(servers), f"replicas on the new release: {seen}"
        return sorted(seen.values())

    try:
        before = entries(servers[0])
        assert entries(servers[1]) == before
        threads = [threading.Thread(target=load, args=(s.url,)) for s in servers for _ in range(2)]
        for t in threads:
            t.start()
        time.sleep(0.5)
        start = time.monotonic()
        publish(str(rel), second)
        times = wait_all(before + 2, start)
        after = entries(servers[0])
        start = time.monotonic()
        rollback(str(rel))
        back = wait_all(before, start)
        stop.set()
        for t in threads:
            t.join()
        print(f"\nswitch after publish: {times[0]:.2f}/{times[1]:.2f} s, after rollback: "
              f"{back[0]:.2f}/{back[1]:.2f} s (reload interval {interval} s); {done[0]} requests")
        assert after == before + 2
        assert failures == [] and done[0] > 0
    finally:
        stop.set()
        for s in servers:
            s.stop()
