"""`python -m ventra.sandbox`, run in a child interpreter as a user runs it."""

import json
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


def cli(*args, env=None, input=None):
    return subprocess.run([*CLI, *args], capture_output=True, text=True, timeout=HANG_S, env=env,
                          input=input, stdin=None if input is not None else subprocess.DEVNULL)


INFO = {b.kind: b for b in _native.available_backends()}


def backends(*listed):
    return [pytest.param(INFO[kind].names[0], id=kind, marks=pytest.mark.skipif(
        not INFO[kind].available, reason=f"{kind} unavailable here: {INFO[kind].reason}"))
        for kind in listed]


EVERY = backends("none", "bubblewrap", "userns")
ISOLATING = backends("bubblewrap", "userns")


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
@pytest.mark.parametrize("backend", EVERY)
def test_allow_injects_the_proxy_variables_set_default_and_routes_curl(web_server, backend):
    # Plain-http requests go through a proxy as absolute-URI GETs: --proxytunnel makes curl
    # use CONNECT. A fenced child's loopback is its own, so there NO_PROXY must not exempt
    # the allowed host service; under "none" it goes there directly. That --allow and
    # --deny reach the proxy is the parse rows below.
    script = ('echo "$HTTPS_PROXY|$HTTP_PROXY|$ALL_PROXY|${NO_PROXY-unset}|${no_proxy-unset}"; '
              f'curl -sS -p -w "connect=%{{http_connect}}" http://127.0.0.1:{web_server}/')
    done = cli("run", "--backend", backend, "--allow", "127.0.0.1", "--env", "HTTPS_PROXY=mine",
               "--shell", script)
    assert done.returncode == 0, done.stderr
    variables, *rest = done.stdout.splitlines()
    https, http, all_proxy, *no_proxy = variables.split("|")
    assert https == "mine"  # the caller's values win
    assert http.startswith("http://127.0.0.1:") and all_proxy.startswith("socks5h://127.0.0.1:")
    fenced = backend in _native.FENCED_BACKENDS
    assert no_proxy == (["unset"] * 2 if fenced else ["127.0.0.1,localhost"] * 2)
    assert rest == ["reached the server", f"connect={200 if fenced else 0:03d}"]


# A client in the child asks the HTTP proxy for a destination outside the allow list.
CONNECT_REFUSED = ("import os, socket; p = os.environ['HTTPS_PROXY'].rsplit(':', 1); "
                   "s = socket.create_connection(('127.0.0.1', int(p[1]))); "
                   "s.sendall(b'CONNECT 127.0.0.1:9 HTTP/1.1\\r\\n\\r\\n'); "
                   "print(s.makefile('rb').readline().decode().strip())")
REFUSAL_LINE = "ventra.sandbox: refused 127.0.0.1:9 (not in the allow list)\n"


@pytest.mark.parametrize("quiet", [False, True])
def test_each_refusal_is_one_line_on_stderr_unless_quiet(quiet):
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
    # A Python caller gets the same cause on the exception: an attribute and a note.
    probe = ("from ventra.sandbox import _native\n"
             "try:\n    _native.spawn({'input': 'true'})\n"
             "except RuntimeError as e:\n    print(repr(e.reason), e.__notes__, str(e)[:25])\n")
    seen = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True,
                          timeout=HANG_S, env=dict(os.environ, PATH="/nonexistent-sandbox-path"))
    assert seen.stdout == ("'no bwrap on PATH' ['bubblewrap: no bwrap on PATH'] "
                           'sandbox backend "bubblewr\n'), seen.stderr


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
        (["--max-output", "1G", "--", "true"], 2, "error: max_output_bytes must be at most 268435456"),
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
        # Nonsense timeouts, refused by name rather than read as "none" or a traceback.
        *[(["--timeout", t, "--", "true"], 2, f"argument --timeout: expects seconds from 0")
          for t in ("-5", "nan", "inf", "1e30", "soon")],
        (["--timeout=-inf", "--", "true"], 2, "argument --timeout: expects seconds from 0"),
        (["--rw", "/nonexistent-ventra-path", "--", "true"], 2,
         'error: --rw "/nonexistent-ventra-path" does not exist'),
        (["--rw", "/", "--", "true"], 2, 'error: --rw "/" would share the whole file system'),
        (["--ro", "{tmp}/missing", "--", "true"], 2, 'error: --ro "{tmp}/missing" does not exist'),
        (["--ro", "/usr/..", "--", "true"], 2, 'error: --ro "/usr/.." would share the whole file system'),
        # The command line's own words for what the module would say in its keys' names.
        (["--network", "allowlist", "--", "true"], 2,
         "error: --network allowlist needs at least one --allow"),
        (["--network", "open", "--allow", "x.org", "--", "true"], 2,
         "error: --allow needs --network allowlist, not --network open"),
        (["--network", "blocked", "--deny", "x.org", "--", "true"], 2,
         "error: --deny needs --network open or allowlist, not --network blocked"),
        (["--shell-file", "{tmp}/missing"], 2, 'error: --shell-file "{tmp}/missing": No such file'),
        (["--stdin", "--python-file", "-"], 2, "error: --python-file - and --stdin both want standard input"),
        (["--shell", "true", "--python-file", "{tmp}/file"], 2,
         "error: --shell and --python-file are mutually exclusive"),
        (["--shell-file", "{tmp}/file", "--", "true"], 2,
         "error: give either a command after -- or --shell-file, not both"),
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


def test_backends_lists_the_four_backends_and_json_spells_them_alike():
    done = cli("backends")
    assert done.returncode == 0
    rows = [line.split()[:2] for line in done.stdout.splitlines()]
    assert rows == [[b.kind, "available" if b.available else "unavailable"]
                    for b in _native.available_backends()]
    assert [r[0] for r in rows] == ["bubblewrap", "userns", "sandbox-exec", "none"]
    for b in _native.available_backends():
        if b.available and b.kind != "sandbox-exec":
            report = json.loads(cli("run", "--json", "-q", "--backend", b.names[-1], "--", "true").stdout)
            assert report["backend"] == b.kind


def test_demo_reaches_the_allowed_server_and_shows_the_refusals():
    done = cli("demo")
    assert done.returncode == 0, done.stdout + done.stderr
    # The default backend where it runs, else another isolating one, named either way.
    rows = [INFO["bubblewrap"], *[b for b in INFO.values() if b.isolates]]
    used = next((b.names[0] for b in rows if b.available), "none")
    said = "its own root, processes and network" if used != "none" else "does NOT isolate"
    for text in (said, f'Ran a child (backend "{used}")', "is not in the sandbox network allow-list",
                 "is blocked by the sandbox network deny-list", "Outcome: as expected"):
        assert text in done.stdout


@pytest.mark.parametrize("backend", EVERY)
@pytest.mark.parametrize("extra", [["--timeout", "0"], ["--timeout", "20"], ["--stdin"]],
                         ids=["no-timeout", "timeout", "stdin"])
def test_a_reader_that_goes_away_ends_the_run_as_a_pipeline_does(backend, extra):
    # `... | head -1`: the child writes without end; once our reader has gone, its group
    # is killed and the run ends with 128 + SIGPIPE, with no timeout notice.
    proc = subprocess.Popen([*CLI, "run", "--backend", backend, *extra, "--shell",
                             "while :; do echo y; done"],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert proc.stdout.readline() == b"y\n"
    proc.stdout.close()
    try:
        assert proc.wait(HANG_S) == 141
    finally:
        proc.kill()
        proc.stdin.close()
    stderr = proc.stderr.read().decode()
    proc.stderr.close()
    assert "timed out" not in stderr and "Traceback" not in stderr, stderr


@pytest.mark.parametrize("mode", [[], ["--collect"], ["--json"]], ids=["live", "collect", "json"])
@pytest.mark.parametrize("closing", [">&-", "2>&-", ">&- 2>&-", "<&- >&-"])
def test_a_closed_standard_stream_is_discarded_and_the_child_runs(tmp_path, mode, closing):
    # Run from a shell that closes our descriptors: the child must still run (it leaves
    # a mark), exit with its code, and what went to a closed stream is lost quietly.
    command = " ".join(subprocess.list2cmdline([a]) for a in [
        *CLI, "run", "--backend", "none", "--cwd", str(tmp_path), *mode,
        "--shell", "echo out; echo err >&2; : > ran; exit 4"])
    done = subprocess.run(["sh", "-c", f"exec {command} {closing}"], capture_output=True,
                          timeout=HANG_S)
    assert done.returncode == 4, done.stderr
    assert (tmp_path / "ran").exists()
    assert b"Traceback" not in done.stdout + done.stderr
    if ">&-" not in closing.replace("2>&-", ""):
        assert b"out\n" in done.stdout or b'"out\\n"' in done.stdout
    if "2>&-" not in closing and not mode == ["--json"]:
        assert b"err\n" in done.stderr


FULL = "{}: No space left on device (os error 28)"


@pytest.mark.parametrize("mode", ["live", "collect", "json", "api"])
@pytest.mark.parametrize("full", ["stdout", "stderr"])
def test_output_that_cannot_be_delivered_is_named_and_fails_the_run(mode, full):
    # /dev/full stands for a full disk: the loss is told (the stream and the error) and
    # the status is not the child's; under --json only the report goes to stdout.
    script = "head -c 300000 /dev/zero; echo err >&2; exit 3"
    with open("/dev/full", "wb") as dev_full:
        if mode == "api":
            proc = _native.spawn({"script_type": "shell", "input": script, "backend": "none",
                                  f"{full}_fd": dev_full.fileno()})
            assert (proc.wait_and_collect()[0], proc.output_lost, proc.output_error,
                    proc.pipe_closed) == (3, True, FULL.format(full), False)
            return
        done = subprocess.run([*CLI, "run", "--backend", "none", "-q",
                               *([] if mode == "live" else [f"--{mode}"]), "--shell", script],
                              stdout=dev_full if full == "stdout" else subprocess.DEVNULL,
                              stderr=dev_full if full == "stderr" else subprocess.PIPE,
                              timeout=HANG_S)
    assert done.returncode == (3 if (mode, full) == ("json", "stderr") else 74)
    if full == "stdout":
        assert done.stderr.decode().splitlines()[-1] == (
            "ventra.sandbox: error: could not deliver the child's output: "
            f"{FULL.format('stdout')}; the rest was discarded")


@pytest.mark.parametrize("backend", EVERY)
@pytest.mark.parametrize("kind", ["shell", "python"])
@pytest.mark.parametrize("size", [128 * 1024 - 1, 128 * 1024, 1 << 20],
                         ids=["fits-one-argument", "one-past", "1MiB"])
def test_scripts_of_any_length_run_the_same(tmp_path, backend, kind, size):
    # Past one argument's limit (128 KiB with its NUL) the script travels another way; it
    # must run the same: the last line counts, and $0 / sys.argv / sys.path are the "-c"
    # form's.
    if kind == "shell":
        tail = 'echo "$0 $x end"; exit 3\n'
        head = "x=set\n#"
        expected = "sh set end\n"
    else:
        tail = "import sys; print(sys.argv, repr(sys.path[0]), x, 'end'); sys.exit(3)\n"
        head = "x = 'set'\n#"
        expected = "['-c'] '' set end\n"
    script = head + "a" * (size - len(head) - len(tail) - 1) + "\n" + tail
    assert len(script.encode()) == size
    (tmp_path / "script").write_text(script)
    done = cli("run", "--backend", backend, "-q", f"--{kind}-file", str(tmp_path / "script"))
    assert (done.returncode, done.stdout, done.stderr) == (3, expected, "")


@pytest.mark.parametrize(
    "args, stdin, code, stdout, stderr",
    [
        # --ro: readable, not writable, under the isolating backends (see the rows below).
        (["--version"], None, 0, "ventra-sandbox ", ""),
        (["run", "--stdin", "--shell", "tr a-z A-Z"], "piped in\n", 0, "PIPED IN\n", ""),
        (["run", "--shell", "cat; echo done"], "not passed\n", 0, "done\n", ""),
        (["run", "--shell-file", "-"], "echo from stdin; exit 6\n", 6, "from stdin\n", ""),
        (["run", "--python-file", "-", "--interpreter", sys.executable], "print(6 * 7)\n", 0,
         "42\n", ""),
        (["run", "--json", "--shell", "echo out; echo err >&2; exit 3"], None, 3,
         {"exit_code": 3, "reason": "exit", "stdout": {"text": "out\n", "bytes": 4, "truncated": False},
          "stderr": {"text": "err\n", "bytes": 4, "truncated": False}, "refused": []}, ""),
        (["run", "--json", "--shell", "kill -TERM $$"], None, 143,
         {"exit_code": 143, "reason": "signal"}, ""),
        (["run", "--json", "--timeout", "0.5", "--shell", "sleep 30"], None, 137,
         {"exit_code": 137, "reason": "timeout"}, TIMED_OUT),
        (["run", "-q", "--json", "--timeout", "0.5", "--shell", "sleep 30"], None, 137,
         {"exit_code": 137, "reason": "timeout"}, None),
        (["run", "--json", "--allow", "127.0.0.1", "--shell", "true"], None, 0,
         {"exit_code": 0, "reason": "exit", "refused": []}, ""),
        # A smaller bound, first or last bytes; text that is not UTF-8 stays U+FFFD.
        (["run", "--json", "--max-output", "4", "--shell", "printf 'a\\377bcdef'"], None, 0,
         {"stdout": {"text": "a\ufffdbc", "bytes": 4, "truncated": True}},
         "stdout exceeded 4 bytes; truncated"),
        (["run", "--collect", "--tail", "--max-output", "3", "--shell", "printf abcdef"], None, 0,
         "def", "stdout exceeded 3 bytes; kept the last 3"),
        # A PATH entry the child cannot see is named: a program there would silently be
        # another one further along.
        (["run", "--env", "PATH=/nonexistent-ventra-bin:/usr/bin:/bin", "--shell", "echo ok"], None, 0,
         "ok\n", 'notice: PATH entry "/nonexistent-ventra-bin" does not exist inside the sandbox'),
        (["run", "-q", "--env", "PATH=/nonexistent-ventra-bin:/usr/bin:/bin", "--shell", "echo ok"],
         None, 0, "ok\n", None),
    ],
)
def test_features_table(args, stdin, code, stdout, stderr):
    if args[0] == "run":
        args = ["run", "--backend", "none", *args[1:]]
    done = cli(*args, input=stdin)
    assert done.returncode == code, done.stderr
    if isinstance(stdout, dict):
        report = json.loads(done.stdout)
        assert {k: report[k] for k in stdout} == stdout
        assert report["backend"] == "none" and report["duration_s"] >= 0
    else:
        assert done.stdout.startswith(stdout) if stdout.endswith(" ") else done.stdout == stdout
    if args[0] == "run" and "-q" not in args:
        assert "does not isolate" in done.stderr  # the one notice of "none"
    if stderr is None:
        assert done.stderr == ""  # -q: no notice of ours at all
    elif stderr:
        assert stderr in done.stderr, done.stderr


@pytest.mark.parametrize("backend", ISOLATING)
@pytest.mark.parametrize("flag, written", [("--ro", "refused"), ("--rw", "written")])
def test_ro_and_rw_share_a_directory_read_only_or_writable(tmp_path, backend, flag, written):
    shared = tmp_path / "shared"
    shared.mkdir()
    (shared / "data").write_text("visible\n")
    done = cli("run", "--backend", backend, flag, str(shared), "--shell",
               f'cat "{shared}/data"; (: > "{shared}/new") 2>/dev/null && echo written || echo refused')
    assert (done.returncode, done.stdout) == (0, f"visible\n{written}\n"), done.stderr
    assert (shared / "new").exists() == (written == "written")


@pytest.mark.parametrize("backend", ISOLATING)
def test_a_path_entry_outside_the_sandbox_is_named(tmp_path, backend):
    # A venv's bin on the host, not shared: inside, the search falls through to /usr/bin.
    bin_dir = tmp_path / "venv" / "bin"
    bin_dir.mkdir(parents=True)
    done = cli("run", "--backend", backend, "--env", f"PATH={bin_dir}:/usr/bin:/bin", "--shell", "echo ok")
    assert (done.returncode, done.stdout) == (0, "ok\n")
    assert f'PATH entry "{bin_dir}" does not exist inside the sandbox' in done.stderr
    shared = cli("run", "--backend", backend, "--ro", str(tmp_path / "venv"),
                 "--env", f"PATH={bin_dir}:/usr/bin:/bin", "--shell", "echo ok")
    assert (shared.returncode, shared.stdout, shared.stderr) == (0, "ok\n", "")
    # With no --cwd the child runs in a fresh directory of its own (when the system's
    # temporary directory is under /tmp): a program beside it on the host is not there.
    (tmp_path / "prog").write_text("#!/bin/sh\necho ran\n")
    (tmp_path / "prog").chmod(0o755)
    env = dict(os.environ, TMPDIR=str(tmp_path))
    private = tmp_path.resolve().as_posix().startswith("/tmp/")
    for argv in (["--", "./prog"], ["--env", "PATH=.", "--", "prog"]):
        done = cli("run", "--backend", backend, "-q", *argv, env=env)
        assert (done.returncode, done.stdout) == ((125, "") if private else (0, "ran\n")), done.stderr
        assert ('error: program "' in done.stderr) == private  # named before the launch
