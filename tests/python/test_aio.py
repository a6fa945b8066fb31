"""The package's helpers: the asyncio `run`/`collect` and the `Session` that owns a proxy."""

import asyncio
import logging
import time

import pytest

from ventra.sandbox import Result, Session, _native, collect, run


def shell(script, **extra):
    return {"script_type": "shell", "input": script, "backend": "none", **extra}


def test_run_returns_exit_code_and_both_streams_and_logs_its_start_and_end(caplog):
    with caplog.at_level(logging.INFO, logger="ventra.sandbox"):
        result = asyncio.run(run(shell("echo out; echo err >&2; exit 3")))
    assert result == Result(exit_code=3, stdout=b"out\n", stderr=b"err\n")
    started, ended = [r for r in caplog.records if hasattr(r, "pid")]
    assert (started.pid, started.backend) == (ended.pid, "none") and ended.exit_code == 3
    assert ended.getMessage().startswith(f"run ended: pid {ended.pid}, backend none, exit 3, ")


UNKNOWN_KEYS = [
    ({"timeout": 1, "cwd": "/etc"},
     "unknown spawn keys: 'timeout' (nearest known key: 'timeout_s'), "
     "'cwd' (nearest known key: 'host_work_dir')"),
    ({"enviroment": {}}, "unknown spawn key: 'enviroment' (nearest known key: 'env')"),
    # An entry that can never match would leave the list open.
    ({"network_mode": "open", "network_denylist": ["127.0.0.0/8", "example.org:443"]},
     'network_denylist: entry "example.org:443" can never match: it has a port; '
     "entries match every port"),
    # spawn's own errors come through unchanged
    ({"script_type": "bash"}, 'unknown script_type "bash"'),
]


@pytest.mark.parametrize("extra,message", UNKNOWN_KEYS)
@pytest.mark.parametrize("helper", ["run", "session"])
def test_helpers_refuse_unknown_keys_naming_the_nearest_and_raise_spawn_errors(helper, extra, message):
    spec = shell("touch ran", **extra)
    with pytest.raises(ValueError) as e:
        if helper == "run":
            asyncio.run(run(spec))
        else:
            with Session(backend="none") as s:
                s.spawn(spec)
    assert str(e.value) == message


@pytest.mark.parametrize(
    "call,error,message",
    [
        # A string where a list or a spec belongs would be taken character by character.
        (lambda: Session(allow="example.org"), TypeError,
         "allow must be a list of entries, not a single str: write ['example.org']"),
        (lambda: Session(deny=b"127.0.0.1"), TypeError,
         "deny must be a list of entries, not a single bytes: write [b'127.0.0.1']"),
        (lambda: asyncio.run(run("echo hi")), TypeError,
         "a spawn specification is a dict of spawn keys, not str"),
        (lambda: asyncio.run(run(shell("true", network_mode="allowlist",
                                       network_allowlist="example.org"))), TypeError,
         "network_allowlist must be a list of entries, not a single str: write ['example.org']"),
        (lambda: Session(deny=["https://example.org/"]), ValueError,
         'deny-list parse: entry "https://example.org/" can never match: it has a scheme; '
         "write the bare host name"),
        (lambda: Session(allow=["example.org", ""]), ValueError,
         'allow-list parse: entry "" can never match: it is empty'),
        # A value of the wrong type is named by its key (spawn says only what it expected).
        (lambda: asyncio.run(run(shell("true", timeout_s="5"))), TypeError,
         "spawn key 'timeout_s' must be a number, not str"),
        (lambda: Session(backend="none").spawn(shell("true", argv=["ls", 1])), TypeError,
         "spawn key 'argv' must be a list of str, not list"),
        (lambda: asyncio.run(run(shell("true", capture_stdout="no"))), TypeError,
         "spawn key 'capture_stdout' must be a bool, not str"),
    ],
)
def test_helpers_refuse_strings_for_lists_and_entries_that_can_never_match(call, error, message):
    with pytest.raises(error) as e:
        call()
    assert str(e.value) == message


def test_session_injects_its_proxy_and_defaults_without_overriding_the_spec():
    with Session(allow=["127.0.0.1"], deny=["169.254.169.254"], backend="none") as s:
        script = 'echo "$HTTPS_PROXY|$ALL_PROXY|$HOME"'
        code, out, _ = s.spawn(shell(script, env={"HOME": "/nowhere"})).wait_and_collect()
        assert (code, out) == (0, f"{s.proxy.url}|{s.proxy.socks_url}|/nowhere\n".encode())
        mine = s.prepare({"input": "true", "env": {"HTTPS_PROXY": "mine"}, "backend": "x",
                          "network_mode": "blocked"})
        assert (mine["env"]["HTTPS_PROXY"], mine["backend"], mine["network_mode"]) == (
            "mine", "x", "blocked")
        assert "network_allowlist" not in mine
        filled = s.prepare({"input": "true"})
        assert (filled["network_mode"], filled["network_allowlist"], filled["network_denylist"]) == (
            "allowlist", ["127.0.0.1"], ["169.254.169.254"])
        assert asyncio.run(s.run(shell("echo hi"))) == Result(0, b"hi\n", b"")


def test_session_lists_what_its_proxy_refused_also_after_close():
    import socket

    with Session(allow=["example.org"], backend="none") as s:
        port = int(s.proxy.url.rsplit(":", 1)[1])
        with socket.create_connection(("127.0.0.1", port), timeout=30) as c:
            c.sendall(b"CONNECT 127.0.0.1:9 HTTP/1.1\r\n\r\n")
            assert c.makefile("rb").readline().startswith(b"HTTP/1.1 403")
        assert s.refusals == [("127.0.0.1:9", "not in the allow list")]
    assert s.refusals == [("127.0.0.1:9", "not in the allow list")]


def test_session_closes_its_proxy_when_the_body_raises(refused_soon):
    with pytest.raises(RuntimeError, match="^spawn: "):
        with Session(backend="none") as s:
            s.spawn({"script_type": "argv", "argv": ["/nonexistent/program"]})
    assert refused_soon(s.proxy.url) and refused_soon(s.proxy.socks_url)


def test_cancellation_kills_the_group_promptly_and_leaves_no_child(fifo):
    async def scenario():
        # Held open by the shell and its background sleep: end of file means both are dead.
        # Were only the shell killed, the sleep would keep the collect busy: it is bounded
        # so that such a fault fails the test (after the 2 s grace) instead of hanging it.
        proc = _native.spawn(
            shell(f'exec 3>"{fifo.path}"; sleep 30 & echo ready >&3; wait', timeout_s=0))
        task = asyncio.create_task(collect(proc))
        assert await asyncio.get_running_loop().run_in_executor(None, fifo.read) == b"ready\n"
        task.cancel()
        started = time.monotonic()
        with pytest.raises(asyncio.CancelledError):
            await task
        return time.monotonic() - started

    assert asyncio.run(scenario()) < 1.0
    fifo.wait_eof()
