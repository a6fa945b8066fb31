"""`python -m ventra.sandbox`: exit codes, proxy routing, backend refusal, Ctrl-C."""

from __future__ import annotations

import os
import select
import shutil
import signal
import subprocess
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Any, Iterator, List, Optional

import pytest

from ventra.sandbox import _native

HANG_S = 30  # generous bound that only catches hangs


def cli(*args: str, timeout: float = HANG_S) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "ventra.sandbox", *args],
        capture_output=True,
        text=True,
        timeout=timeout,
    )


class _Hello(BaseHTTPRequestHandler):
    def do_GET(self) -> None:  # noqa: N802
        body = b"reached the allowed server\n"
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002
        pass


@pytest.fixture
def local_server() -> Iterator[int]:
    server = ThreadingHTTPServer(("127.0.0.1", 0), _Hello)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        yield server.server_address[1]
    finally:
        server.shutdown()
        server.server_close()


class FifoReader:
    """Read end of a FIFO that the sandboxed processes hold open for writing.

    End of file arrives only when every process holding the write end has died, which
    proves the death without sleeping.
    """

    def __init__(self, path: Path) -> None:
        os.mkfifo(path)
        self.path = path
        # Non-blocking so the open itself does not wait for a writer.
        self.fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
        self.seen_writer = False

    def read_line(self) -> str:
        data = b""
        deadline = time.monotonic() + HANG_S
        while not data.endswith(b"\n"):
            assert time.monotonic() < deadline, "no line from the child"
            select.select([self.fd], [], [], 0.1)
            chunk = os.read(self.fd, 4096)
            if chunk:
                self.seen_writer = True
                data += chunk
            elif not self.seen_writer:
                time.sleep(0.02)  # no writer has opened the FIFO yet
            else:
                raise AssertionError("writers closed before a full line")
        return data.decode()

    def wait_eof(self) -> None:
        assert self.seen_writer
        deadline = time.monotonic() + HANG_S
        while True:
            left = deadline - time.monotonic()
            assert left > 0, "a process of the sandboxed group is still alive"
            ready, _, _ = select.select([self.fd], [], [], left)
            if ready and os.read(self.fd, 4096) == b"":
                return

    def close(self) -> None:
        os.close(self.fd)


@pytest.fixture
def fifo(tmp_path: Path) -> Iterator[FifoReader]:
    reader = FifoReader(tmp_path / "alive")
    try:
        yield reader
    finally:
        reader.close()


def spawn_refusal(backend: Optional[str]) -> str:
    spec: dict[str, Any] = {"input": "true"}
    if backend is not None:
        spec["backend"] = backend
    with pytest.raises(RuntimeError) as info:
        _native.spawn(spec)
    return str(info.value)


def available_names() -> List[str]:
    return [b.kind for b in _native.available_backends() if b.available]


@pytest.mark.parametrize(
    "script, code",
    [("exit 0", 0), ("exit 3", 3), ("exit 255", 255), ("kill -TERM $$", 143)],
)
def test_run_exits_with_the_childs_exit_code(script: str, code: int) -> None:
    done = cli("run", "--backend", "none", "--", "sh", "-c", f"echo out; echo err >&2; {script}")
    assert done.returncode == code
    assert done.stdout == "out\n"
    assert "err\n" in done.stderr


def test_run_shell_and_python_scripts_and_env() -> None:
    done = cli("run", "--backend", "none", "--env", "GREETING=hi", "--shell", 'echo "$GREETING"')
    assert (done.returncode, done.stdout) == (0, "hi\n")
    done = cli("run", "--backend", "none", "--interpreter", sys.executable,
               "--python", "import sys; sys.exit(7)")
    assert done.returncode == 7


def test_run_timeout_kills_the_child_with_137() -> None:
    done = cli("run", "--backend", "none", "--timeout", "0.5", "--", "sleep", "30")
    assert done.returncode == 137


def test_proxy_variables_are_injected_with_set_default_semantics() -> None:
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
def test_allow_routes_curl_through_the_proxy(local_server: int) -> None:
    # NO_PROXY would exempt 127.0.0.1, and plain-http requests go through a proxy as
    # absolute-URI GETs: empty NO_PROXY plus --proxytunnel makes curl use CONNECT.
    script = (
        'curl -sS -p -w "connect=%{http_connect}\\n" '
        f"http://127.0.0.1:{local_server}/; "
        'curl -sS -p -o /dev/null -w "refused connect=%{http_connect}\\n" '
        "http://refused.example/; "
        'echo "curl=$?"'
    )
    done = cli(
        "run", "--backend", "none", "--allow", "127.0.0.1", "--env", "NO_PROXY=",
        "--env", "no_proxy=", "--shell", script,
    )
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[:2] == ["reached the allowed server", "connect=200"]
    assert lines[2:] == ["refused connect=403", "curl=56"]


@pytest.mark.parametrize("backend", [None, "bubblewrap", "bwrap", "userns", "no-such"])
def test_refused_backend_prints_the_modules_message_and_the_available_list(
    backend: Optional[str],
) -> None:
    args = ["run"] + (["--backend", backend] if backend is not None else [])
    done = cli(*args, "--", "true")
    assert done.returncode == 125
    assert spawn_refusal(backend) in done.stderr
    assert f"backends available here: {', '.join(available_names())}" in done.stderr
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
def test_bad_arguments_exit_2_with_a_message(args: List[str], message: str) -> None:
    done = cli("run", "--backend", "none", *args)
    assert done.returncode == 2
    assert message in done.stderr


def test_sigint_kills_the_childs_group_and_leaves_nothing_running(fifo: FifoReader) -> None:
    # The shell and its background sleep both hold the FIFO open; its end of file means
    # both are dead.
    script = f'exec 3>"{fifo.path}"; sleep 1000 & echo "$!" >&3; wait'
    proc = subprocess.Popen(
        [sys.executable, "-m", "ventra.sandbox", "run", "--backend", "none", "--timeout", "0",
         "--shell", script],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
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


def test_backends_lists_the_four_backends() -> None:
    done = cli("backends")
    assert done.returncode == 0
    rows = [line.split()[:2] for line in done.stdout.splitlines()]
    expected = [
        [b.kind, "available" if b.available else "unavailable"]
        for b in _native.available_backends()
    ]
    assert rows == expected
    assert [r[0] for r in rows] == ["bubblewrap", "userns", "sandbox-exec", "none"]


def test_demo_reaches_the_allowed_server_and_shows_the_refusals() -> None:
    done = cli("demo")
    assert done.returncode == 0, done.stdout + done.stderr
    assert "does NOT isolate" in done.stdout
    assert "is not in the sandbox network allow-list" in done.stdout
    assert "is blocked by the sandbox network deny-list" in done.stdout
    assert "Outcome: as expected" in done.stdout
