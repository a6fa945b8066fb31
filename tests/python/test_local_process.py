"""LocalProcess: state table, cancellation, deadlines, the interpreter lock, drop, caps."""

import gc
import os
import signal
import threading
import time

import pytest

CAP = 268435456
HANG_S = 30  # generous bound that only catches hangs


def test_state_table_before_and_after_collect(sh):
    # A wait is not ended by the deadline, which only a collect enforces.
    proc = sh("echo $$; echo err >&2; sleep 0.5; exit 3", timeout_s=0.1)
    pid = proc.pid()
    assert (proc.wait(), proc.wait(), proc.pid()) == (3, 3, pid)
    assert (proc.read_stdout(), proc.read_stdout()) == (f"{pid}\n".encode(), b"")
    assert (proc.read_stderr(), proc.read_stderr(), proc.pid()) == (b"err\n", b"", pid)
    assert proc.wait_and_collect() == (3, b"", b"")
    for method in ("wait", "read_stdout", "read_stderr", "pid", "wait_and_collect"):
        with pytest.raises(RuntimeError):
            getattr(proc, method)()
    assert proc.kill() is None
    assert proc.backend == "none"


@pytest.mark.parametrize(
    "keys,method,forwarded,collected",
    [
        # One pipe for both streams keeps their order; nothing is also collected.
        ({"stdout_fd": "w", "stderr_fd": "w", "stderr_to_stdout": True}, "collect",
         b"a\nb\nc\n", (0, b"", b"")),
        ({"stderr_fd": "w"}, "collect", b"b\n", (0, b"a\nc\n", b"")),
        ({"stdout_fd": "w"}, "read", b"a\nc\n", (b"", b"b\n")),
        ({"capture_stdout": False, "capture_stderr": False}, "read", b"", (b"", b"")),
    ],
)
def test_forwarded_output_goes_through_the_callers_descriptor(sh, keys, method, forwarded,
                                                              collected):
    r, w = os.pipe()
    proc = sh("echo a; echo b >&2; echo c", **{k: w if v == "w" else v for k, v in keys.items()})
    os.close(w)  # the module writes through its own duplicate
    if method == "collect":
        assert proc.wait_and_collect() == collected
    else:
        assert (proc.read_stdout(), proc.read_stderr()) == collected
        del proc  # closes the duplicate
        gc.collect()
    with os.fdopen(r, "rb") as reader:
        assert reader.read() == forwarded  # end of file: the duplicate is closed


def test_ctrl_c_interrupts_a_blocking_collect_and_kills_the_group(fresh_python, fifo):
    done = fresh_python(f"""
        import os, signal, threading, time
        from ventra.sandbox import _native
        proc = _native.spawn({{"script_type": "shell", "backend": "none", "timeout_s": 0,
                              "input": 'exec 3>"{fifo.path}"; sleep 30 & wait'}})
        threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
        start = time.monotonic()
        try:
            proc.wait_and_collect()
        except KeyboardInterrupt:
            print(time.monotonic() - start)
    """)
    fifo.wait_eof()  # the shell and its sleep are both dead
    assert done.returncode == 0, done.stderr
    assert float(done.stdout) < 20  # not after the 30 s child; catches only the hang


def test_kill_from_another_thread_ends_a_blocked_collect(sh, fifo):
    # The deadline only turns a regression (a pid() that stalls) into a failure, not a hang.
    proc = sh(f'echo started; echo ready > "{fifo.path}"; sleep 30', timeout_s=20)
    pid = proc.pid()
    result = []
    collector = threading.Thread(target=lambda: result.append(proc.wait_and_collect()))
    collector.start()
    fifo.read()
    # pid() never waits for the `inner` that the collect holds: it answers from the copy
    # until the collect has taken the record, and then reports the child as reaped.
    start = time.monotonic()
    try:
        assert proc.pid() == pid
    except RuntimeError as e:
        assert str(e) == "LocalProcess: child already reaped"
    proc.kill()
    collector.join(timeout=HANG_S)
    assert time.monotonic() - start < 10 and result == [(137, b"started\n", b"")]


@pytest.mark.parametrize("blocking", ["wait_and_collect", "read_stdout", "wait"])
def test_blocking_calls_let_python_threads_run_and_carry_on_through_signals(sh, tmp_path,
                                                                            blocking):
    go = tmp_path / "go"
    # Only a Python thread creates the file: if the call kept the interpreter lock, the
    # child would give up after about 10 s and print nothing. Python installs its signal
    # handlers without SA_RESTART, so the blocked call sees EINTR meanwhile, many times.
    proc = sh(f"i=0; while [ ! -e {go} ] && [ $i -lt 1000 ]; do sleep 0.01; i=$((i+1)); done;"
              f"[ -e {go} ] && echo done", timeout_s=20)
    threading.Timer(0.2, go.touch).start()
    previous = signal.signal(signal.SIGALRM, lambda *_: None)
    signal.setitimer(signal.ITIMER_REAL, 0.02, 0.02)
    try:
        result = getattr(proc, blocking)()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    expected = {"wait_and_collect": (0, b"done\n", b""), "read_stdout": b"done\n", "wait": 0}
    assert result == expected[blocking]


def test_dropping_the_handle_kills_the_process_group(sh, fifo):
    # The shell and a grandchild in its group hold the fifo's write end open.
    proc = sh(f'exec 3>"{fifo.path}"; sleep 60 & echo ready >&3; wait', timeout_s=0)
    fifo.read()
    del proc
    gc.collect()
    fifo.wait_eof()


@pytest.mark.parametrize("script,keys,kept,notice", [
    (f"head -c {CAP + 100_000} /dev/zero", {}, b"\0" * CAP, f"exceeded {CAP} bytes; truncated"),
    ("printf abcdefgh", {"max_output_bytes": 5}, b"abcde", "exceeded 5 bytes; truncated"),
    ("printf abcdefgh", {"max_output_bytes": 5, "output_tail": True}, b"defgh",
     "exceeded 5 bytes; kept the last 5"),
])
@pytest.mark.parametrize("how", ["read_stdout", "wait_and_collect"])
def test_output_is_capped_with_one_notice_on_fd2(sh, capfd, script, keys, kept, notice, how):
    # The bound's edges and the collect's drains are proved in C++; this proves that both
    # read paths are given the bound the keys ask for.
    proc = sh(script, timeout_s=0, **keys)
    out = proc.read_stdout() if how == "read_stdout" else proc.wait_and_collect()[1]
    assert out == kept
    assert capfd.readouterr().err == f"ventra.sandbox: stdout {notice}\n"


def test_drain_thread_failure_raises_internal_error_and_poisons(fresh_python):
    result = fresh_python("""
        import os, resource
        from ventra.sandbox import _native
        proc = _native.spawn({"input": "sleep 30", "backend": "none", "timeout_s": 0})
        pid = proc.pid()
        size = next(int(l.split()[1]) * 1024 for l in open("/proc/self/status")
                    if l.startswith("VmSize:"))
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        # No room for a 2 MiB drain-thread stack: the collect cannot start its drains.
        resource.setrlimit(resource.RLIMIT_AS, (size + (1 << 20), hard))
        try:
            proc.wait_and_collect()
        except Exception:  # which an InternalError must pass by
            print("an Exception")
        except _native.InternalError:
            print("InternalError")
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        for method in ("wait", "read_stdout", "read_stderr", "pid", "wait_and_collect"):
            try:
                getattr(proc, method)()
            except RuntimeError as e:
                print(e)
        proc.kill()
        print("alive" if os.path.exists(f"/proc/{pid}") else "reaped")
    """)
    assert result.returncode == 0, result.stderr
    # Every method refused, and the taken record disposed of: the child killed and reaped.
    assert result.stdout.decode().splitlines() == (
        ["InternalError"] + ["LocalProcess inner poisoned"] * 5 + ["reaped"])


def test_interpreter_exit_while_a_daemon_thread_collects_is_clean(fresh_python):
    # The collect returns during finalization; CPython then ends that thread as it asks
    # for the interpreter lock, and the unwinding must not abort the process.
    script = """
        import threading, time
        from ventra.sandbox import _native
        proc = _native.spawn({"script_type": "shell", "input": "sleep 30", "backend": "none"})
        threading.Thread(target=proc.wait_and_collect, daemon=True).start()
        time.sleep(0.05)
        proc.kill()
    """
    for _ in range(3):
        result = fresh_python(script)
        assert result.returncode == 0, result.stderr
