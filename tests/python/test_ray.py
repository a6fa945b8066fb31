"""ventra.sandbox.ray on a local three-node Ray cluster. Ray binds more than loopback, so
these run only in a network namespace with loopback alone (scripts/test.sh: unshare -n)."""

import glob
import os
import pickle
import shutil
import socket
import tempfile
import time
import uuid

import pytest

ray = pytest.importorskip("ray")
if [name for _, name in socket.if_nameindex()] != ["lo"]:
    pytest.skip("Ray tests need a network namespace with only loopback", allow_module_level=True)

from ray.cluster_utils import Cluster  # noqa: E402

import ventra.sandbox  # noqa: E402
from ventra.sandbox.ray import NodePool, RunRecord, create  # noqa: E402

BACKENDS = ["userns", "bubblewrap"]
ALLOW = ["files.example.org"]


@pytest.fixture(scope="module")
def cluster():
    scratch = tempfile.mkdtemp(prefix="vr", dir="/tmp")  # short: Ray's socket paths
    os.chmod(scratch, 0o755)
    package = os.path.dirname(os.path.dirname(os.path.dirname(ventra.sandbox.__file__)))
    env = {"RAY_TMPDIR": scratch,  # the workers import ventra as we do
           "PYTHONPATH": os.pathsep.join([package, os.environ.get("PYTHONPATH", "")])}
    saved = {k: os.environ.get(k) for k in env}
    os.environ.update(env)
    c = Cluster(initialize_head=True, head_node_args={
        "num_cpus": 1, "temp_dir": os.path.join(scratch, "ray"), "include_dashboard": False})
    try:
        for _ in range(2):
            c.add_node(num_cpus=1)
        ray.init(address=c.address)
        yield c
    finally:
        ray.shutdown()
        c.shutdown()
        shutil.rmtree(scratch, ignore_errors=True)
        for k, v in saved.items():
            os.environ.pop(k) if v is None else os.environ.__setitem__(k, v)


@pytest.fixture(params=BACKENDS)
def pool(request, cluster, tmp_path):
    os.chmod(tmp_path, 0o777)
    p = NodePool.start(ALLOW, backend=request.param, root=str(tmp_path))
    yield p
    p.kill()


@ray.remote(num_cpus=0.5, scheduling_strategy="SPREAD")
def _runs(pool, first, count):
    if count == 1:
        return [pool.run(f"echo $(({first} * 2))")]
    return pool.run_many([f"echo $(({i} * 2))" for i in range(first, first + count)],
                         concurrency=3)


def test_batch_spreads_over_nodes_and_records_are_plain(pool):
    # 200 runs: 20 tasks of one run, 20 of one batch of nine.
    shares = [(i, 1) for i in range(20)] + [(i, 9) for i in range(20, 200, 9)]
    records = [r for rs in ray.get([_runs.remote(pool, *s) for s in shares], timeout=600)
               for r in rs]
    assert [r.stdout for r in records] == [b"%d\n" % (2 * i) for i in range(200)]
    assert {r.node_id for r in records} == set(pool.nodes) and len(pool.nodes) == 3
    assert len({r.sandbox_id for r in records}) == 200  # never one sandbox for two runs
    again = pickle.loads(pickle.dumps(records[0]))
    assert type(again) is RunRecord and again == records[0]
    assert all(s["sandboxes"] == 0 and os.listdir(s["root"]) == [] for s in pool.stats())


def test_state_lasts_within_a_sandbox_only_and_reuse_says_what_carries_over(pool):
    with pool.sandbox(reuse="task-a") as box:
        box.write_file("note", b"kept")
        out = box.exec_many(["cat note; echo more > .hidden", "cat .hidden"])  # one call
        assert [r.stdout for r in out] == [b"kept", b"more\n"]
        assert not box.reused
        with pool.sandbox() as fresh:
            assert fresh.exec("cat note .hidden").exit_code != 0
        again = pool.sandbox(reuse="task-a")
        assert (again.id, again.reused) == (box.id, True) and again.carries_over
        assert again.exec("cat .hidden").stdout == b"more\n"


def test_isolation_holds(pool, tmp_path):
    outside = tmp_path.parent / f"outside-{uuid.uuid4().hex}"
    tmp = f"/tmp/{outside.name}"  # the sandbox's own /tmp, never the host's
    r = pool.run(f"cat {tmp}; echo x > {outside}; echo x > /etc/{outside.name}; "
                 "curl -sS https://blocked.example.org/", files={tmp: b"in the sandbox"})
    assert not outside.exists() and not os.path.exists(f"/etc/{outside.name}")
    assert r.stdout == b"in the sandbox" and not os.path.exists(tmp)
    assert r.exit_code != 0 and b"403" in r.stderr
    assert any("blocked.example.org" in d for s in pool.stats() for d, _ in s["refusals"])
    # A link planted in the work dir is read back as the sandbox sees it (its /tmp is its
    # own), never as the host does.
    secret = tmp_path / f"secret-{uuid.uuid4().hex}"
    secret.write_bytes(b"host only")
    r = pool.run(f"ln -s {secret} leak", files={"a/b": b"x"}, collect=["leak", "a/b"])
    assert r.files == {"leak": None, "a/b": b"x"}


def test_a_batch_checks_every_run_first_and_one_failure_stops_no_other(pool):
    with pytest.raises(TypeError, match=r"runs\[1\]"):
        pool.run_many(["true", b"true"])
    with pytest.raises(ValueError, match="not a file path within the work dir"):
        pool.run("true", files={"a/../../x": b""})
    with pytest.raises(TypeError, match="collect is a list of paths"):
        pool.run("true", collect="out")
    runs = ["echo a", {"command": "true", "memory_bytes": "many"}, {"command": "echo $X"}]
    out = pool.run_many(runs, return_exceptions=True, env={"X": "b"})
    assert [getattr(r, "stdout", type(r)) for r in out] == [b"a\n", TypeError, b"b\n"]
    with pytest.raises(TypeError, match="memory_bytes"):
        pool.run_many(runs)
    assert all(s["sandboxes"] == 0 and os.listdir(s["root"]) == [] for s in pool.stats())


def _marked(token, start=""):
    return [p for p in os.listdir("/proc") if p.isdigit() and token in _cmdline(p)
            and _cmdline(p).startswith(start)]


def _cmdline(pid):
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return f.read().decode(errors="replace")
    except OSError:
        return ""


def test_killed_actor_takes_its_sandboxes_and_leaves_nothing(pool):
    node = pool.nodes[-1]
    root, pid = next((s["root"], s["pid"]) for s in pool.stats() if s["node_id"] == node)
    box = pool.sandbox(node_id=node)
    token = f"{1000 + uuid.uuid4().int % 9000}.25"
    box.spawn(["sleep", token])
    running = pool.actor(node).call.remote("exec", box.id, ["sleep", token + "1"])
    deadline = time.monotonic() + 30
    while len(_marked(token, "sleep")) < 2 and time.monotonic() < deadline:  # both started
        time.sleep(0.05)
    assert os.listdir(root) == [box.id]
    ray.kill(pool.actor(node), no_restart=True)
    with pytest.raises(ray.exceptions.RayActorError):
        ray.get(running, timeout=60)
    with pytest.raises(ray.exceptions.RayActorError):
        box.exec("true")
    pattern = f"/sys/fs/cgroup/**/ventra-sandbox-{pid}.*"
    groups = lambda: glob.glob(pattern, recursive=True)  # noqa: E731
    while (_marked(token) or os.path.exists(root) or groups()) and time.monotonic() < deadline + 60:
        time.sleep(0.1)
    assert _marked(token) == [] and not os.path.exists(root) and groups() == []


@pytest.mark.parametrize("backend", BACKENDS)
def test_rays_sandbox_interface(cluster, tmp_path, backend):
    from ray.experimental.sandbox import (SandboxCreationError, SandboxNotFoundError,
                                          SandboxStatus)

    os.chmod(tmp_path, 0o777)
    with pytest.raises(SandboxCreationError, match="image 'python:3.11'"):
        create("python:3.11")
    box = create(network="public", allow=ALLOW, backend=backend, root=str(tmp_path),
                 memory="512Mi", cpu=0)
    box.write_file.remote("in.txt", "from the driver")
    r = ray.get(box.exec.remote("cat in.txt; echo out > out.txt; "
                                "curl -sS https://blocked.example.org/"))
    assert r.stdout == "from the driver" and "403" in r.stderr and r.exit_code != 0
    assert ray.get(box.read_file.remote("out.txt")) == b"out\n"
    assert ray.get(box.get_status.remote()) == SandboxStatus.RUNNING
    ray.get(box.delete.remote())
    assert ray.get(box.get_status.remote()) == SandboxStatus.TERMINATED
    with pytest.raises(SandboxNotFoundError):
        ray.get(box.exec.remote("true"), timeout=60)
    ray.kill(box)
    with pytest.raises(ray.exceptions.RayActorError):
        for _ in range(100):  # a call that raced the kill may still be served
            ray.get(box.get_status.remote(), timeout=60)
            time.sleep(0.1)
