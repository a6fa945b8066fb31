"""Command line over the native module: ``python -m ventra.sandbox run|backends|demo``.

Runs on the main thread; the blocking collect runs on a helper thread so that SIGINT and
SIGTERM reach Python while a child runs, and are answered by killing the child's group.
"""

from __future__ import annotations

import argparse
import os
import signal
import sys
import threading
from typing import Any, Dict, List, NoReturn, Optional, Sequence, Tuple

from . import _native

# Exit codes of the command line itself; every other code is the child's own.
EXIT_USAGE = 2  # bad arguments or entries (ValueError / TypeError from the module)
EXIT_REFUSED = 125  # the module refused or failed to start the child (RuntimeError)

_NONE_WARNING = (
    "ventra.sandbox: warning: backend \"none\" does not isolate: the child sees the whole "
    "file system with your permissions and ignores the network policy; only clients that "
    "honour the proxy variables are filtered."
)

def _err(message: str) -> None:
    print(f"ventra.sandbox: {message}", file=sys.stderr)



def _refusal_hint() -> str:
    infos = _native.available_backends()
    names = [b.kind for b in infos if b.available]
    listed = ", ".join(names) if names else "(none)"
    missing = "; ".join(f"{b.kind}: {b.reason}" for b in infos if not b.available)
    hint = f"backends available here: {listed}\n"
    if missing:
        hint += f"unavailable: {missing}\n"
    hint += "choose one explicitly with --backend NAME"
    if names == ["none"]:
        hint += " (--backend none runs the command without any isolation)"
    return hint


def _set_default(env: Dict[str, str], pairs: Sequence[Tuple[str, str]]) -> None:
    # Set-default semantics: a variable the caller already set keeps its value.
    for key, value in pairs:
        env.setdefault(key, value)


def _parse_env(items: Sequence[str]) -> Dict[str, str]:
    env: Dict[str, str] = {}
    for item in items:
        key, sep, value = item.partition("=")
        if not sep or not key:
            raise ValueError(f"--env expects KEY=VALUE, got {item!r}")
        env[key] = value
    return env


def build_spec(
    args: argparse.Namespace, proxy: Optional[_native.AllowListProxy] = None
) -> Dict[str, Any]:
    """Translate parsed ``run`` arguments into a spawn specification dictionary."""
    spec: Dict[str, Any] = {}
    command: List[str] = list(args.command)
    if command and command[0] == "--":
        command = command[1:]
    if args.shell is not None and args.python is not None:
        raise ValueError("--shell and --python are mutually exclusive")
    if args.shell is not None or args.python is not None:
        if command:
            raise ValueError("give either a command after -- or --shell/--python, not both")
        if args.shell is not None:
            spec["script_type"] = "shell"
            spec["input"] = args.shell
        else:
            spec["script_type"] = "python"
            spec["input"] = args.python
            if args.interpreter is not None:
                spec["python_interpreter"] = args.interpreter
    else:
        if not command:
            raise ValueError("nothing to run: give a command after --, or --shell/--python")
        spec["script_type"] = "argv"
        spec["argv"] = command

    env = _parse_env(args.env)
    if proxy is not None:
        _set_default(env, _native.proxy_env_vars(proxy.url, proxy.socks_url))
    spec["env"] = env

    if args.cwd is not None:
        spec["host_work_dir"] = args.cwd
    if args.timeout is not None:
        spec["timeout_s"] = args.timeout
    if args.rw:
        spec["extra_read_write_paths"] = list(args.rw)

    if args.network is not None:
        spec["network_mode"] = args.network
    elif args.allow:
        spec["network_mode"] = "allowlist"
    elif args.deny:
        spec["network_mode"] = "open"
    if args.allow:
        spec["network_allowlist"] = list(args.allow)
    if args.deny:
        spec["network_denylist"] = list(args.deny)

    # Absent means the module's default ("bubblewrap"), whose refusal we explain below.
    if args.backend is not None:
        spec["backend"] = args.backend
    return spec


class _Collector:
    """Runs ``wait_and_collect`` on a helper thread so the main thread stays signalable."""

    def __init__(self, proc: _native.LocalProcess) -> None:
        self._proc = proc
        self._done = threading.Event()
        self.result: Optional[Tuple[int, bytes, bytes]] = None
        self.error: Optional[BaseException] = None
        self._thread = threading.Thread(target=self._body, name="sandbox-collect", daemon=True)

    def start(self) -> None:
        self._thread.start()

    def _body(self) -> None:
        try:
            self.result = self._proc.wait_and_collect()
        except BaseException as exc:  # reported by the main thread
            self.error = exc
        finally:
            self._done.set()

    def wait(self) -> None:
        # Event.wait with a timeout returns to the interpreter regularly, so a signal
        # handler (KeyboardInterrupt included) runs promptly on the main thread.
        while not self._done.wait(0.2):
            pass

    def wait_briefly(self) -> None:
        # After a kill the collect returns within one poll interval; the bound only
        # matters if something outside the group still holds an output pipe.
        if self._thread.is_alive():
            self._thread.join(5.0)


class _Terminated(Exception):
    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def _on_sigterm(signum: int, _frame: Any) -> NoReturn:
    raise _Terminated(signum)


def _write(stream: Any, data: bytes) -> None:
    if data:
        stream.buffer.write(data)
        stream.buffer.flush()


def cmd_run(args: argparse.Namespace) -> int:
    proxy: Optional[_native.AllowListProxy] = None
    proc: Optional[_native.LocalProcess] = None
    try:
        try:
            if args.allow or args.deny:
                proxy = _native.AllowListProxy(list(args.allow), list(args.deny))
            spec = build_spec(args, proxy)
            if spec.get("backend") == "none":
                print(_NONE_WARNING, file=sys.stderr)
            proc = _native.spawn(spec)
        except (ValueError, TypeError) as exc:
            _err(f"error: {exc}")
            return EXIT_USAGE
        except RuntimeError as exc:
            _err(f"error: {exc}")
            if "sandbox backend" in str(exc):  # unknown or unavailable backend
                print(_refusal_hint(), file=sys.stderr)
            return EXIT_REFUSED
        return _supervise(proc)
    except KeyboardInterrupt:
        # Ctrl-C outside the supervised wait. A handle that never reached `proc` is
        # dropped with the unwound call, and its disposal kills the group.
        if proc is not None:
            proc.kill()
        _err("interrupted by signal 2; killed the child's process group")
        return 128 + int(signal.SIGINT)
    finally:
        if proxy is not None:
            proxy.close()


def _supervise(proc: _native.LocalProcess) -> int:
    previous: Dict[int, Any] = {}
    collector: Optional[_Collector] = None
    status: Optional[int] = None
    try:
        try:
            # Without these, SIGTERM or SIGHUP would end this process and orphan the child
            # until its timeout; its own process group does not receive the terminal's
            # signals. Installed inside the try, so a signal at any point is handled.
            for sig in (signal.SIGTERM, signal.SIGHUP):
                previous[sig] = signal.signal(sig, _on_sigterm)
            collector = _Collector(proc)
            collector.start()
            collector.wait()
        except KeyboardInterrupt:
            status = 128 + int(signal.SIGINT)
        except _Terminated as exc:
            status = 128 + exc.signum
        if status is not None:
            proc.kill()
            if collector is not None:
                collector.wait_briefly()
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)

    result = collector.result if collector is not None else None
    if collector is not None and collector.error is not None:
        _err(f"error: {collector.error}")
        return EXIT_REFUSED if status is None else status
    if result is not None:
        _write(sys.stdout, result[1])  # what the child wrote, even when it was interrupted
        _write(sys.stderr, result[2])
    if status is not None:
        _err(f"interrupted by signal {status - 128}; killed the child's process group")
        return status
    assert result is not None
    code = result[0]
    # A stopped child reports -1; shells show that as 255.
    return code if 0 <= code <= 255 else 255


def cmd_backends(_args: argparse.Namespace) -> int:
    for info in _native.available_backends():
        state = "available" if info.available else "unavailable"
        note = info.summary if info.available else f"{info.summary} ({info.reason})"
        print(f"{info.kind:<13} {state:<12} {note}".rstrip())
    return 0


def cmd_demo(_args: argparse.Namespace) -> int:
    from . import _demo

    return _demo.main()


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m ventra.sandbox",
        description="Run commands in a sandboxed child process with an egress allow-list.",
    )
    sub = parser.add_subparsers(dest="cmd", metavar="COMMAND")
    sub.required = True

    run = sub.add_parser(
        "run",
        help="run a command, shell script or Python script in a sandbox",
        description=(
            "Run a command in a sandboxed child and exit with its exit code "
            f"(128+signal if it was killed; {EXIT_USAGE} for bad arguments, "
            f"{EXIT_REFUSED} if the sandbox refused to start it). The child gets a cleared "
            "environment plus --env pairs. With --allow/--deny, an egress proxy is started "
            "and its variables (HTTPS_PROXY, ALL_PROXY, ...) are added unless set by --env."
        ),
    )
    run.add_argument(
        "--backend",
        metavar="NAME",
        help='isolation backend: bubblewrap, userns, sandbox-exec or none (default: the '
        'module\'s default, "bubblewrap"; there is never a silent fallback)',
    )
    run.add_argument("--allow", action="append", default=[], metavar="ENTRY",
                     help="allow-list entry: CIDR block, address, name or *.suffix (repeatable)")
    run.add_argument("--deny", action="append", default=[], metavar="ENTRY",
                     help="deny-list entry, checked before the allow list (repeatable)")
    run.add_argument("--network", choices=["blocked", "open", "allowlist"],
                     help="network mode (default: allowlist with --allow, open with only "
                     "--deny, else blocked)")
    run.add_argument("--timeout", type=float, metavar="S",
                     help="wall-clock limit in seconds; the group is killed after it "
                     "(default 60, 0 for none)")
    run.add_argument("--cwd", metavar="DIR",
                     help="working (and writable) directory of the child "
                     "(default: the system temporary directory)")
    run.add_argument("--env", action="append", default=[], metavar="K=V",
                     help="environment variable for the child (repeatable)")
    run.add_argument("--rw", action="append", default=[], metavar="PATH",
                     help="extra writable path (repeatable)")
    run.add_argument("--shell", metavar="SCRIPT", help="run SCRIPT with sh -c")
    run.add_argument("--python", metavar="SCRIPT", help="run SCRIPT with the Python interpreter")
    run.add_argument("--interpreter", metavar="PROGRAM",
                     help="interpreter for --python (default python3)")
    run.add_argument("command", nargs=argparse.REMAINDER, metavar="-- COMMAND [ARG...]")
    run.set_defaults(func=cmd_run)

    backends = sub.add_parser("backends", help="list the four backends and their availability")
    backends.set_defaults(func=cmd_backends)

    demo = sub.add_parser("demo", help="self-contained tour of the egress proxy (no network needed)")
    demo.set_defaults(func=cmd_demo)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        rc: int = args.func(args)
    except BrokenPipeError:
        # Our reader went away (``... | head``): exit quietly, as a killed writer would,
        # without a second error when the interpreter flushes stdout at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 128 + signal.SIGPIPE
    return rc
