"""`python -m ventra.sandbox`, run in a child interpreter as a user runs it."""

import os
import select
import shutil
import signal
import subprocess
import sys

import pytest

from ventra.sandbox import _native

HANG_S = 30  # generous bound that only catches hangs
CLI = [sys.executable, "-m", "ventra.sandbox"]


def cli(*args, env=None):
    return subprocess.run([*CLI, *args], capture_output=True, text=True, timeout=HANG_S, env=env)


TIMED_OUT = "ventra.sandbox: timed out after 0.5 s; killed the child's process group\n"


@pytest.mark.parametrize("mode", [[], ["--collect"]], ids=["live", "collect"])
@pytest.mark.parametrize(
    "args,code,stdout",
    [
        (["--", "sh", "-c", "echo out; echo err >&2; exit 3"], 3, "out\n"),
        (["--env", "GREETING=hi", "--shell", 'echo "$GREETING"'], 0, "hi\n"),
        (["--interpreter", sys.executable, "--python", "import sys; sys.exit(7)"], 7, ""),
        (["--timeout", "0.5", "--shell", "echo before; sleep 30"], 137, "before\n"),
        # Killed by a SIGKILL of its own before the deadline: no timeout notice.
        (["--timeout", "20", "--shell", "kill -KILL $$"], 137, ""),
    ],
)
def test_run_exits_with_the_childs_exit_code_and_output(mode, args, code, stdout):
    done = cli("run", "--backend", "none", *mode, *args)
    assert (done.returncode, done.stdout) == (code, stdout)
    if stdout == "out\n":
        assert "err\n" in done.stderr
    assert done.stderr.endswith(TIMED_OUT) == ("0.5" in args), done.stderr


def test_live_output_passes_through_in_order_and_sigint_kills_the_group(fifo):
    # The child's fd 1 and 2 lead to one file, as on a terminal (the command line tells
    # them apart by the file only): it gets one pipe for both.
    read_end, write_end = os.pipe()
    # The shell and its background sleep hold the FIFO open: its end of file means both
    # are dead.
    script = f'exec 3>"{fifo.path}"; sleep 1000 & for i in 1 2 3; do echo out$i; echo err$i >&2; done; wait'
    proc = subprocess.Popen([*CLI, "run", "--backend", "none", "--timeout", "0", "--shell", script],
                            stdin=subprocess.DEVNULL, stdout=write_end, stderr=write_end)
    os.close(write_end)
    try:
        seen = b""
        while b"err3" not in seen:
            assert select.select([read_end], [], [], HANG_S)[0], seen
            chunk = os.read(read_end, 4096)
            assert chunk, seen
            seen += chunk
        warning, *lines = seen.decode().splitlines()
        assert lines == ["out1", "err1", "out2", "err2", "out3", "err3"], warning
        assert "does not isolate" in warning
    finally:
        proc.send_signal(signal.SIGINT)
        assert proc.wait(HANG_S) == 130
        os.close(read_end)
    fifo.wait_eof()


@pytest.mark.skipif(shutil.which("curl") is None, reason="curl is not installed")
def test_allow_injects_the_proxy_variables_set_default_and_routes_curl(web_server):
    # NO_PROXY would exempt 127.0.0.1, and plain-http requests go through a proxy as
    # absolute-URI GETs: empty NO_PROXY plus --proxytunnel makes curl use CONNECT.
    # That --allow and --deny reach the proxy is the parse rows below.
    script = ('echo "$HTTPS_PROXY|$HTTP_PROXY|$ALL_PROXY|$NO_PROXY"; '
              f'curl -sS -p -w "connect=%{{http_connect}}" http://127.0.0.1:{web_server}/')
    done = cli("run", "--backend", "none", "--allow", "127.0.0.1", "--env", "HTTPS_PROXY=mine",
               "--env", "NO_PROXY=", "--env", "no_proxy=", "--shell", script)
    assert done.returncode == 0, done.stderr
    variables, *rest = done.stdout.splitlines()
    https, http, all_proxy, no_proxy = variables.split("|")
    assert (https, no_proxy) == ("mine", "")  # the caller's values win
    assert http.startswith("http://127.0.0.1:") and all_proxy.startswith("socks5h://127.0.0.1:")
    assert rest == ["reached the server", "connect=200"]


# A client in the child asks the HTTP proxy for a destination outside the allow list.
CONNECT_REFUSED = ("import os, socket; p = os.environ['HTTPS_PROXY'].rsplit(':', 1); "
                   "s = socket.create_connection(('127.0.0.1', int(p[1]))); "
                   "s.sendall(b'CONNECT 127.0.0.1:9 HTTP/1.1\\r\\n\\r\\n'); "
                   "print(s.makefile('rb').readline().decode().strip())")
REFUSAL_LINE = "ventra.sandbox: refused 127.0.0.1:9 (not in the allow list)\n"


@pytest.mark.parametrize("quiet", [False, True])
def test_each_refusal_is_one_line_on_stderr_unless_quiet(quiet):
    if quiet and "-q" not in cli("run", "--help").stdout:
        pytest.skip("this command line has no -q")
    done = cli("run", "--backend", "none", *(["-q"] if quiet else []), "--allow", "example.org",
               "--interpreter", sys.executable, "--python", CONNECT_REFUSED)
    assert (done.returncode, done.stdout) == (0, "HTTP/1.1 403 Forbidden\n"), done.stderr
    assert done.stderr.count(REFUSAL_LINE) == (0 if quiet else 1), done.stderr
    assert "refused" not in done.stderr.replace(REFUSAL_LINE, "")


def test_unavailable_default_backend_prints_the_modules_message_and_what_is_missing():
    # Without bwrap on PATH the default backend is refused in the command line's process.
    done = cli("run", "--", "true", env=dict(os.environ, PATH="/nonexistent-sandbox-path"))
    assert done.returncode == 125
    for text in ('sandbox backend "bubblewrap" is not available in this environment',
                 "bubblewrap: no bwrap on PATH", "backends available here: ", "--backend"):
        assert text in done.stderr


DEFAULT_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"


@pytest.mark.parametrize(
    "args, code, message",
    [
        # The proxy judges its allow list first.
        (["--allow", "a*.com", "--deny", "*", "--", "true"], 2,
         "allow-list parse: bad wildcard pattern: a*.com"),
        (["--deny", "A*.COM", "--", "true"], 2, "deny-list parse: bad wildcard pattern: a*.com"),
        # Entries that can never match are refused, named, before anything starts.
        (["--deny", "127.0.0.0/8", "--deny", "example.org:443", "--", "true"], 2,
         'deny-list parse: entry "example.org:443" can never match: it has a port'),
        (["--allow", "300.1.1.1", "--", "true"], 2,
         'allow-list parse: entry "300.1.1.1" can never match: it is not an IP address'),
        (["--env", "NOEQUALS", "--", "true"], 2, "--env expects KEY=VALUE"),
        (["--max-processes", "0", "--", "true"], 2, "error: max_processes must be at least 1"),
        (["--memory", "lots", "--", "true"], 2, "expected bytes such as 268435456 or 256M"),
        (["--shell", "true", "--", "true"], 2, "not both"),
        ([], 2, "nothing to run"),
        # An unknown backend: the later --backend wins over the table's "none".
        (["--backend", "no-such", "--", "true"], 125,
         'unknown sandbox backend "no-such"; expected one of'),
        # What would fail the launch is named before anything is started.
        (["--cwd", "{tmp}/missing", "--", "true"], 125,
         'error: working directory "{tmp}/missing" does not exist'),
        (["--cwd", "{tmp}/file", "--", "true"], 125,
         'error: working directory "{tmp}/file" is not a directory'),
        (["--", "no-such-program"], 125,
         f'error: program "no-such-program" not found on the child\'s PATH ({DEFAULT_PATH})'),
        (["--env", "PATH=/nonexistent", "--shell", "true"], 125,
         'error: program "sh" not found on the child\'s PATH (/nonexistent)'),
        (["--cwd", "{tmp}", "--", "./file"], 125, 'error: program "./file" not found or not executable'),
        (["--interpreter", "{tmp}/file", "--python", "pass"], 125,
         'error: program "{tmp}/file" not found or not executable'),
    ],
)
def test_bad_arguments_and_missing_paths_exit_with_a_message(tmp_path, args, code, message):
    (tmp_path / "file").write_text("not a program\n")
    done = cli("run", "--backend", "none", *[a.format(tmp=tmp_path) for a in args])
    assert done.returncode == code
    assert message.format(tmp=tmp_path) in done.stderr
    assert "does not isolate" not in done.stderr  # refused before the launch


@pytest.mark.parametrize("backend", ["bubblewrap", "userns"])
def test_a_memory_kill_and_a_limit_this_host_cannot_hold_are_each_named_once(backend):
    info = {b.kind: b for b in _native.available_backends()}[backend]
    if not info.available:
        pytest.skip(f"{backend} unavailable here: {info.reason}")
    # Touches 512 MiB at most, whether or not the limit holds.
    done = cli("run", "--backend", backend, "--memory", "64M", "--", "python3", "-c",
               "a = bytearray(512 << 20)\nfor i in range(0, len(a), 4096): a[i] = 1")
    notes = [line for line in done.stderr.splitlines() if line.startswith("ventra.sandbox: ")]
    if "memory_bytes" in info.limits:
        assert (done.returncode, notes) == (
            137, ["ventra.sandbox: killed: memory limit of 64 MiB reached"]), done.stderr
    else:
        assert (done.returncode, notes) == (0, [
            "ventra.sandbox: note: not enforced on this host, the run goes on without: "
            "memory_bytes (see 'backends')"]), done.stderr


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
    isolating = [b.kind for b in _native.available_backends() if b.available and b.kind in ("userns", "bubblewrap")]
    said = "its own root, processes and network" if isolating else "does NOT isolate"
    for text in (said, "is not in the sandbox network allow-list",
                 "is blocked by the sandbox network deny-list", "Outcome: as expected"):
        assert text in done.stdout
