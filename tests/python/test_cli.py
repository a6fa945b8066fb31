"""`python -m ventra.sandbox`: exit codes, proxy routing, backend refusal, Ctrl-C."""

import functools
import os
import shutil
import signal
import subprocess
import sys
import threading
from http.server import SimpleHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

import pytest

from ventra.sandbox import _native

HANG_S = 30  # generous bound that only catches hangs
CLI = [sys.executable, "-m", "ventra.sandbox"]


def cli(*args, env=None):
    return subprocess.run([*CLI, *args], capture_output=True, text=True, timeout=HANG_S, env=env)


@pytest.fixture
def local_server(tmp_path):
    (tmp_path / "index.html").write_text("reached the allowed server\n")
    handler = functools.partial(SimpleHTTPRequestHandler, directory=str(tmp_path))
    server = ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    yield server.server_address[1]
    server.shutdown()
    server.server_close()


OUT_ERR = ["--", "sh", "-c", "echo out; echo err >&2; {}"]


@pytest.mark.parametrize(
    "args,code,stdout",
    [
        *[([a.format(s) for a in OUT_ERR], c, "out\n")
          for s, c in [("exit 0", 0), ("exit 3", 3), ("exit 255", 255), ("kill -TERM $$", 143)]],
        (["--env", "GREETING=hi", "--shell", 'echo "$GREETING"'], 0, "hi\n"),
        (["--interpreter", sys.executable, "--python", "import sys; sys.exit(7)"], 7, ""),
        (["--timeout", "0.5", "--", "sleep", "30"], 137, ""),
    ],
)
def test_run_exits_with_the_childs_exit_code_and_output(args, code, stdout):
    done = cli("run", "--backend", "none", *args)
    assert (done.returncode, done.stdout) == (code, stdout)
    if stdout == "out\n":
        assert "err\n" in done.stderr


def test_proxy_variables_are_injected_with_set_default_semantics():
    done = cli(
        "run", "--backend", "none", "--allow", "127.0.0.1", "--env", "HTTPS_PROXY=mine",
        "--shell", 'echo "$HTTPS_PROXY|$HTTP_PROXY|$ALL_PROXY|$NO_PROXY"',
    )
    assert done.returncode == 0, done.stderr
    https, http, all_proxy, no_proxy = done.stdout.strip().split("|")
    assert https == "mine"  # the caller's value wins
    assert http.startswith("http://127.0.0.1:")
    assert all_proxy.startswith("socks5h://127.0.0.1:")
    assert no_proxy == "127.0.0.1,localhost"


@pytest.mark.skipif(shutil.which("curl") is None, reason="curl is not installed")
def test_allow_routes_curl_through_the_proxy(local_server):
    # NO_PROXY would exempt 127.0.0.1, and plain-http requests go through a proxy as
    # absolute-URI GETs: empty NO_PROXY plus --proxytunnel makes curl use CONNECT.
    script = (
        f'curl -sS -p -w "connect=%{{http_connect}}\\n" http://127.0.0.1:{local_server}/; '
        'curl -sS -p -o /dev/null -w "refused connect=%{http_connect}\\n" http://refused.example/; '
        'echo "curl=$?"'
    )
    done = cli("run", "--backend", "none", "--allow", "127.0.0.1", "--env", "NO_PROXY=",
               "--env", "no_proxy=", "--shell", script)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        "reached the allowed server", "connect=200", "refused connect=403", "curl=56"]


@pytest.mark.parametrize("backend", [None, "bwrap", "no-such"])
def test_refused_backend_prints_the_modules_message_and_what_is_missing(backend):
    # Without bwrap on PATH the default backend is refused in the command line's process.
    env = dict(os.environ, PATH="/nonexistent-sandbox-path")
    done = cli("run", *(["--backend", backend] if backend else []), "--", "true", env=env)
    assert done.returncode == 125
    if backend == "no-such":
        assert 'unknown sandbox backend "no-such"; expected one of' in done.stderr
    else:
        assert 'sandbox backend "bubblewrap" is not available in this environment' in done.stderr
        assert "bubblewrap: no bwrap on PATH" in done.stderr
    assert "backends available here: " in done.stderr
    assert "--backend" in done.stderr


@pytest.mark.parametrize(
    "args, message",
    [
        (["--allow", "a*.com", "--", "true"], "allow-list parse: bad wildcard pattern: a*.com"),
        (["--deny", "*", "--", "true"], "deny-list parse: bad wildcard pattern: *"),
        (["--env", "NOEQUALS", "--", "true"], "--env expects KEY=VALUE"),
        (["--shell", "true", "--", "true"], "not both"),
        ([], "nothing to run"),
    ],
)
def test_bad_arguments_exit_2_with_a_message(args, message):
    done = cli("run", "--backend", "none", *args)
    assert done.returncode == 2
    assert message in done.stderr


def test_sigint_kills_the_childs_group_and_leaves_nothing_running(fifo):
    # The shell and its background sleep both hold the FIFO open; its end of file means
    # both are dead.
    script = f'exec 3>"{fifo.path}"; sleep 1000 & echo "$!" >&3; wait'
    proc = subprocess.Popen([*CLI, "run", "--backend", "none", "--timeout", "0", "--shell", script],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        grandchild = int(fifo.read_line())
        proc.send_signal(signal.SIGINT)
        _, err = proc.communicate(timeout=HANG_S)
        assert proc.returncode == 130, err
        fifo.wait_eof()
        state = Path(f"/proc/{grandchild}/stat")
        # Gone, or at most a zombie waiting for whoever adopted it.
        assert not state.exists() or state.read_text().split(") ")[1][0] == "Z"
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def test_backends_lists_the_four_backends():
    done = cli("backends")
    assert done.returncode == 0
    rows = [line.split()[:2] for line in done.stdout.splitlines()]
    assert rows == [[b.kind, "available" if b.available else "unavailable"]
                    for b in _native.available_backends()]
    assert [r[0] for r in rows] == ["bubblewrap", "userns", "sandbox-exec", "none"]


def test_demo_reaches_the_allowed_server_and_shows_the_refusals():
    done = cli("demo")
    assert done.returncode == 0, done.stdout + done.stderr
    for text in ("does NOT isolate", "is not in the sandbox network allow-list",
                 "is blocked by the sandbox network deny-list", "Outcome: as expected"):
        assert text in done.stdout
