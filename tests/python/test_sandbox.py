"""Persistent sandboxes over both Linux backends: what lasts between commands, what a
command can reach of the sandbox's own machinery, and how a sandbox ends."""

import asyncio
import os
import time

import pytest

from ventra.sandbox import Sandbox, Session, _native

HANG_S = 30  # generous bound that only catches hangs
INFO = {b.kind: b for b in _native.available_backends()}
ISOLATING = [pytest.param(name, marks=pytest.mark.skipif(
    not INFO[kind].available, reason=f"{name} unavailable here: {INFO[kind].reason}"))
    for name, kind in (("bubblewrap", "bubblewrap"), ("userns-lite", "userns"))]


@pytest.fixture
def box(request, tmp_path):
    with Sandbox({"backend": request.param, "host_work_dir": str(tmp_path)}) as b:
        yield b


def boxes(test):
    return pytest.mark.parametrize("box", ISOLATING, indirect=True)(test)


@boxes
def test_files_tmp_and_background_processes_last_but_env_and_cwd_do_not(box, tmp_path):
    srv = box.spawn("echo $$ > /tmp/pid; exec sleep 60")
    assert box.exec("echo w > f; export A=1; cd /tmp; echo t > t").exit_code == 0
    r = box.exec('cat f /tmp/t; pwd; echo "A=$A"; kill -0 $(cat /tmp/pid) && echo alive')
    assert r.stdout == f"w\nt\n{tmp_path}\nA=\nalive\n".encode(), r
    assert srv.poll() is None
    assert box.exec(["sh", "-c", "echo $B; pwd"], env={"B": "b"}, cwd="/tmp").stdout == b"b\n/tmp\n"
    box.write_file("in.json", b"{}")
    assert (tmp_path / "in.json").read_bytes() == b"{}" and box.read_file("in.json") == b"{}"


@boxes
def test_files_resolve_inside_and_reads_are_bounded(box, tmp_path):
    host_only = tmp_path.parent / f"host-only-{os.getpid()}"
    host_only.write_text("host\n")
    try:
        box.exec(f"ln -s {host_only} planted; ln -s /etc/hostname etc")
        with pytest.raises(OSError):
            box.read_file("planted")  # the link points nowhere inside
        box.write_file("planted", b"x")  # lands in the sandbox's own /tmp, if anywhere
        assert host_only.read_text() == "host\n"
        with pytest.raises(ValueError, match="max_bytes"):
            box.read_file("etc", max_bytes=1)
    finally:
        host_only.unlink()


@boxes
def test_the_control_channel_and_pid_1_are_out_of_reach(box):
    # pid 1 holds the channel at descriptor 6; nothing inside may read, write, trace or
    # signal its way to it, and the sandbox serves on afterwards.
    probe = ("readlink /proc/1/fd/6 2>/dev/null && echo linked; ( echo x > /proc/1/fd/6 ) 2>/dev/null "
             "&& echo wrote; python3 -c 'import ctypes; l = ctypes.CDLL(None); "
             "print(\"traced\" if l.ptrace(16, 1, 0, 0) == 0 else \"\")'; kill -9 1; "
             "kill -TERM 1; sleep 0.1; echo done")
    assert box.exec(probe).stdout.strip() == b"done"
    assert box.exec("echo still").stdout == b"still\n" and box.status == "running"


@boxes
def test_an_exec_deadline_kills_only_its_own_group(box):
    srv = box.spawn("exec sleep 60")
    start = time.monotonic()
    r = box.exec("sleep 60 & sleep 60", timeout_s=0.5)
    assert r.exit_code == 137 and time.monotonic() - start < HANG_S
    assert srv.poll() is None and box.exec("echo ok").stdout == b"ok\n"
    proc = box.spawn("exec sleep 0.1")
    proc.wait()
    assert sorted(proc.usage) == ["inblock", "maxrss_kb", "oublock", "stime_us", "utime_us"]


@boxes
def test_exec_usage_is_the_commands_own_and_marked_as_relayed(box):
    ballast = b"\x01" * (128 << 20)  # a big host process must not show in the command's peak
    busy = asyncio.run(box.aexec(["python3", "-c", "import time\nt = time.process_time()\n"
                                  "while time.process_time() - t < 0.3: pass"])).usage
    assert 0.25 <= busy.cpu_user_s + busy.cpu_system_s <= 5 and busy.wall_s >= 0.25
    small = box.exec("true").usage
    assert 256 << 10 < small.peak_rss_bytes < 64 << 20 and small.io_write_bytes is not None
    assert "forgeable" in small.sources["peak_rss_bytes"] and small.peak_memory_bytes is None
    assert small.sources["peak_memory_bytes"].startswith("not measured:")
    del ballast


@boxes
def test_closing_leaves_nothing_running(box, fifo):
    proc = box.spawn("setsid sleep 60 > alive 2>&1 & ( ( sleep 60 > alive & ) & ); "
                     "exec 3> alive; echo up >&3; exec sleep 60")
    assert fifo.read() == b"up\n"
    box.close()
    fifo.wait_eof()
    assert box.status == "closed" and proc.poll() == 137
    with pytest.raises(RuntimeError, match="ended"):
        box.exec("true")


@boxes
def test_freeze_stops_cpu_use_and_thaw_resumes_it(box, tmp_path):
    busy = box.spawn("while :; do echo x; done > count")
    victims = [box.spawn("exec sleep 60") for _ in range(2)]
    late = box.spawn("exec sleep 60", timeout_s=0.5)
    while not (tmp_path / "count").exists():
        time.sleep(0.01)
    try:
        box.freeze()
    except RuntimeError as e:
        pytest.skip(f"no freezer group here: {e}")
    assert box.status == "frozen"
    time.sleep(0.1)
    frozen = (tmp_path / "count").stat().st_size
    time.sleep(0.3)
    assert (tmp_path / "count").stat().st_size == frozen
    with pytest.raises(RuntimeError, match="frozen"):
        box.exec("true")
    # A kill, a dropped handle or a deadline waits in the channel: the frozen init cannot
    # confirm it, and the sandbox lives on.
    victims[0].kill()
    victims.pop()
    assert late.collect().exit_code == 137 and box.status == "frozen"
    box.thaw()
    time.sleep(0.3)
    assert (tmp_path / "count").stat().st_size > frozen and box.status == "running"
    assert victims[0].wait() == 137 and box.exec("echo on").stdout == b"on\n"
    busy.kill()


# The clock ends a sandbox by itself, with nobody asking for its state: a process in a
# session of its own, left by a command that ended (idle), or a running command in a
# frozen sandbox (lifetime), holds the FIFO until the end.
DETACHED = ["python3", "-c", "import subprocess; subprocess.Popen(['sh', '-c', 'echo up; "
            "exec sleep 60'], stdout=open('alive', 'w'), start_new_session=True)"]


@pytest.mark.parametrize("backend", ISOLATING)
@pytest.mark.parametrize("keys", [{"lifetime_s": 0.5}, {"idle_timeout_s": 0.5}],
                         ids=["lifetime-frozen", "idle"])
def test_lifetime_and_idle_time_end_it(backend, tmp_path, fifo, keys):
    with Session() as s:
        box = s.sandbox(work_dir=tmp_path, backend=backend, **keys)
        if "lifetime_s" in keys:
            proc = box.spawn("exec 3> alive; echo up >&3; exec sleep 60")
        else:
            assert box.exec(DETACHED).exit_code == 0
        assert fifo.read() == b"up\n"
        if "lifetime_s" in keys:
            try:
                box.freeze()
            except RuntimeError:
                pass  # no freezer group here: the lifetime ends it all the same
        fifo.wait_eof()
        assert box.status == "expired"
        if "lifetime_s" in keys:
            assert proc.poll() == 137
        with pytest.raises(RuntimeError, match="ended"):
            box.exec("true")


@pytest.mark.parametrize("backend", ["none", "sandbox-exec"])
def test_backends_without_an_init_refuse(backend):
    with pytest.raises(RuntimeError, match="bubblewrap or userns-lite"):
        _native.open_sandbox({"backend": backend})


@pytest.mark.parametrize("backend", ISOLATING)
def test_caps_on_sandboxes_per_session_and_commands_per_sandbox(backend, tmp_path):
    with Session(max_sandboxes=1) as s:
        box = s.sandbox(work_dir=tmp_path, backend=backend)
        with pytest.raises(RuntimeError, match="max_sandboxes"):
            s.sandbox(backend=backend)
        running = [box.spawn("exec sleep 60") for _ in range(64)]
        with pytest.raises(RuntimeError, match="64 commands"):
            box.spawn("true")
        running.pop().kill()
        assert box.exec("echo ok").stdout == b"ok\n"
        box.close()
        # Applying a sandbox's changes ends it, and frees its place.
        box = s.sandbox(work_dir=tmp_path, backend=backend, overlay=True)
        box.changes().apply()
        s.sandbox(backend=backend).close()
    assert box.status == "closed"
