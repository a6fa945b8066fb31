"""Argument handling: the parser, its value types, and ``run``'s arguments as a spawn dict.

A new ``run`` option is an ``add_argument`` in `build_parser` and, when it maps to a spawn
key, one line in `build_spec`; a check of the host it needs goes to `checks`.
"""

from __future__ import annotations

import argparse
import math
import sys
from typing import Any, Dict, List, Optional, Sequence, Tuple

from .. import _native
from ..spawn_spec import check_keys
from . import checks, messages
from .messages import EXIT_OUTPUT_LOST, EXIT_REFUSED, EXIT_USAGE, quoted

DEFAULT_TIMEOUT_S = 60.0
# Longer than any run we mean to supervise, short of what the monotonic clock refuses.
_MAX_TIMEOUT_S = 366 * 24 * 3600.0

_SIZE_UNITS = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30, "T": 1 << 40}


def _size(text: str) -> int:
    """``--memory``: bytes, or a number with K, M, G or T (powers of 1024; "MiB" too)."""
    t = text.strip().upper().removesuffix("IB").removesuffix("B")
    unit = t[-1:] if t[-1:] in _SIZE_UNITS else ""
    number = t[: len(t) - len(unit)]
    if not number.isdigit():
        raise argparse.ArgumentTypeError(f"expected bytes such as 268435456 or 256M, got {text!r}")
    return int(number) * _SIZE_UNITS[unit]


def _timeout_arg(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (0.0 <= value <= _MAX_TIMEOUT_S):  # also refuses nan
        raise argparse.ArgumentTypeError(
            f"expects seconds from 0 (no timeout) to {_MAX_TIMEOUT_S:.0f}, got {text!r}")
    return value


def timeout_of(args: argparse.Namespace) -> float:
    return DEFAULT_TIMEOUT_S if args.timeout is None else float(args.timeout)


def _parse_env(items: Sequence[str]) -> Dict[str, str]:
    env: Dict[str, str] = {}
    for item in items:
        key, sep, value = item.partition("=")
        if not sep or not key:
            raise ValueError(f"--env expects KEY=VALUE, got {item!r}")
        env[key] = value
    return env


def _read_script(path: str, flag: str) -> str:
    """The text of a script file, or of standard input for ``-``."""
    try:
        if path == "-":
            data = sys.stdin.buffer.read() if sys.stdin is not None else b""
        else:
            with open(path, "rb") as f:
                data = f.read()
    except OSError as exc:
        raise ValueError(f"{flag} {quoted(path)}: {exc.strerror or exc}") from None
    try:
        return data.decode("utf-8", "surrogateescape")
    except UnicodeDecodeError as exc:  # pragma: no cover (surrogateescape decodes all)
        raise ValueError(f"{flag} {quoted(path)}: {exc}") from None


def _network(args: argparse.Namespace) -> Tuple[Optional[str], List[str], List[str]]:
    """The network mode and lists, judged in the command line's own words."""
    mode = args.network
    if mode is None:
        mode = "allowlist" if args.allow else "open" if args.deny else None
    if mode == "allowlist" and not args.allow:
        raise ValueError("--network allowlist needs at least one --allow")
    if args.allow and mode != "allowlist":
        raise ValueError(f"--allow needs --network allowlist, not --network {mode}")
    if args.deny and mode == "blocked":
        raise ValueError("--deny needs --network open or allowlist, not --network blocked")
    return mode, list(args.allow), list(args.deny)


def _program_source(args: argparse.Namespace, command: List[str], spec: Dict[str, Any]) -> None:
    sources = [(flag, value) for flag, value in (
        ("--shell", args.shell), ("--python", args.python),
        ("--shell-file", args.shell_file), ("--python-file", args.python_file))
        if value is not None]
    if len(sources) > 1:
        raise ValueError(f"{sources[0][0]} and {sources[1][0]} are mutually exclusive")
    if sources:
        if command:
            raise ValueError(f"give either a command after -- or {sources[0][0]}, not both")
        flag, value = sources[0]
        if flag.endswith("-file"):
            if value == "-" and args.stdin:
                raise ValueError(f"{flag} - and --stdin both want standard input")
            value = _read_script(value, flag)
        spec["script_type"] = "python" if flag.startswith("--python") else "shell"
        spec["input"] = value
        if spec["script_type"] == "python" and args.interpreter is not None:
            spec["python_interpreter"] = args.interpreter
    else:
        if not command:
            raise ValueError("nothing to run: give a command after --, or --shell/--python")
        spec["script_type"] = "argv"
        spec["argv"] = command


def build_spec(args: argparse.Namespace) -> Dict[str, Any]:
    """Translate parsed ``run`` arguments into a spawn specification dictionary (the proxy
    variables are the `Session`'s to add)."""
    spec: Dict[str, Any] = {}
    command: List[str] = list(args.command)
    if command and command[0] == "--":
        command = command[1:]
    _program_source(args, command, spec)

    spec["env"] = _parse_env(args.env)

    if args.cwd is not None:
        spec["host_work_dir"] = args.cwd
    if args.timeout is not None:
        spec["timeout_s"] = args.timeout
    checks.bound_paths("--ro", args.ro)
    checks.bound_paths("--rw", args.rw)
    if args.ro:
        spec["extra_read_only_paths"] = list(args.ro)
    if args.rw:
        spec["extra_read_write_paths"] = list(args.rw)
    if args.memory is not None:
        spec["memory_bytes"] = args.memory
    if args.max_output != messages.OUTPUT_CAP_BYTES:
        if args.max_output > messages.OUTPUT_CAP_BYTES:  # the module's own words
            raise ValueError(f"max_output_bytes must be at most {messages.OUTPUT_CAP_BYTES}")
        spec["max_output_bytes"] = args.max_output
    if args.tail:
        spec["output_tail"] = True
    if args.max_processes is not None:
        if args.max_processes < 1:  # the module's own words, before anything starts
            raise ValueError("max_processes must be at least 1")
        spec["max_processes"] = args.max_processes

    mode, allow, deny = _network(args)
    if mode is not None:
        spec["network_mode"] = mode
    if allow:
        spec["network_allowlist"] = allow
    if deny:
        spec["network_denylist"] = deny

    # Absent means the module's default, whose refusal the command line explains.
    if args.backend is not None:
        spec["backend"] = args.backend
    check_keys(spec)
    return spec


def _version() -> str:
    try:
        from importlib.metadata import version

        return version("ventra-sandbox")
    except Exception:  # not installed as a distribution (a source tree on sys.path)
        return "unknown"


_RUN_DESCRIPTION = (
    "Run a command in a sandboxed child and exit with its exit code "
    f"(128+signal if it was killed, 137 at the timeout, 141 when the reader of "
    f"our output went away; {EXIT_USAGE} for bad "
    f"arguments, {EXIT_REFUSED} if the sandbox refused to start it or the working "
    f"directory or program is missing, {EXIT_OUTPUT_LOST} if its output could not be "
    "delivered: a full disk or an I/O error, with a notice naming the stream). The child gets a cleared environment plus "
    "--env pairs, /dev/null as standard input (--stdin passes ours), and the system "
    "temporary directory as working directory unless --cwd is given. Its output is "
    "passed through as it comes (through pipes: the child never gets this terminal); "
    "--collect prints it after the child ends instead, --json prints one JSON object "
    "instead. With --allow/--deny, an egress proxy is started "
    "and its variables (HTTPS_PROXY, ALL_PROXY, ...) are added unless set by --env."
)


def _add_run_options(run: argparse.ArgumentParser) -> None:
    run.add_argument(
        "--backend",
        metavar="NAME",
        help=f"isolation backend: {', '.join(_native.BACKEND_KINDS[:-1])} or "
        f"{_native.BACKEND_KINDS[-1]} (default: the module's default, "
        f'"{_native.DEFAULT_BACKEND}"; there is never a silent fallback)',
    )
    run.add_argument("--allow", action="append", default=[], metavar="ENTRY",
                     help="allow-list entry: CIDR block, address, name or *.suffix (repeatable)")
    run.add_argument("--deny", action="append", default=[], metavar="ENTRY",
                     help="deny-list entry, checked before the allow list (repeatable)")
    run.add_argument("--network", choices=["blocked", "open", "allowlist"],
                     help="network mode (default: allowlist with --allow, open with only "
                     "--deny, else blocked)")
    run.add_argument("--timeout", type=_timeout_arg, metavar="S",
                     help="wall-clock limit in seconds; the group is killed after it "
                     "(default 60, 0 for none)")
    run.add_argument("--cwd", metavar="DIR",
                     help="working (and writable) directory of the child "
                     "(default: the system temporary directory)")
    run.add_argument("--env", action="append", default=[], metavar="K=V",
                     help="environment variable for the child (repeatable)")
    run.add_argument("--ro", action="append", default=[], metavar="PATH",
                     help="extra path the child may read, not write (repeatable; enforced by "
                     "the Linux backends)")
    run.add_argument("--memory", type=_size, metavar="BYTES",
                     help="memory of the whole sandbox, tmpfs and swap included, as bytes or "
                     "with K, M, G (256M); over it the sandbox is killed (bubblewrap and "
                     "userns, where this host has a memory cgroup)")
    run.add_argument("--max-processes", type=int, metavar="N",
                     help="processes and threads of the whole sandbox; past it fork fails "
                     "with EAGAIN (default 1024 under bubblewrap and userns)")
    run.add_argument("--rw", action="append", default=[], metavar="PATH",
                     help="extra writable path (repeatable)")
    run.add_argument("--shell", metavar="SCRIPT", help="run SCRIPT with sh -c")
    run.add_argument("--python", metavar="SCRIPT",
                     help="run SCRIPT with the Python interpreter found on the child's PATH "
                     "(python3, or --interpreter)")
    run.add_argument("--shell-file", metavar="FILE",
                     help="run the shell script in FILE (- for standard input)")
    run.add_argument("--python-file", metavar="FILE",
                     help="run the Python script in FILE (- for standard input)")
    run.add_argument("--interpreter", metavar="PROGRAM",
                     help="interpreter for --python (default python3, looked up on the "
                     "child's PATH)")
    run.add_argument("--stdin", action="store_true",
                     help="pass our standard input to the child (a terminal through a pipe); "
                     "without it the child reads /dev/null")
    run.add_argument("--collect", action="store_true",
                     help="collect the output and print it after the child ends, all of "
                     "stdout before stderr, each capped at 256 MiB (with a notice past it); "
                     "by default it is passed through live, uncapped")
    run.add_argument("--max-output", type=_size, default=messages.OUTPUT_CAP_BYTES,
                     metavar="BYTES",
                     help="with --collect or --json: keep at most this much of each stream, "
                     "as bytes or with K, M, G (default and most 256M); the rest is read and "
                     "dropped, with a notice")
    run.add_argument("--tail", action="store_true",
                     help="with --collect or --json: keep the last --max-output bytes of each "
                     "stream instead of the first")
    run.add_argument("--json", action="store_true",
                     help="print one JSON object when the run ends instead of the output: "
                     "exit_code, reason (exit, signal, timeout, memory limit, pipe closed), "
                     "duration_s, backend, stdout and stderr (text, bytes, truncated), refused, "
                     "output_error (null unless output could not be delivered)")
    run.add_argument("-q", "--quiet", action="store_true",
                     help="no notices of the command line's own (the none warning, the "
                     "timeout, missing PATH entries); errors are still reported")
    run.add_argument("command", nargs=argparse.REMAINDER, metavar="-- COMMAND [ARG...]")


def build_parser() -> argparse.ArgumentParser:
    """The parser; ``args.cmd`` names the subcommand (`ventra.sandbox.cli` runs it)."""
    parser = argparse.ArgumentParser(
        prog="python -m ventra.sandbox",
        description="Run commands in a sandboxed child process with an egress allow-list.",
    )
    parser.add_argument("--version", action="version", version=f"ventra-sandbox {_version()}")
    sub = parser.add_subparsers(dest="cmd", metavar="COMMAND")
    sub.required = True

    run = sub.add_parser(
        "run",
        help="run a command, shell script or Python script in a sandbox",
        description=_RUN_DESCRIPTION,
    )
    _add_run_options(run)
    sub.add_parser("backends", help="list the four backends and their availability")
    sub.add_parser("demo", help="self-contained tour of the egress proxy (no network needed)")
    return parser
