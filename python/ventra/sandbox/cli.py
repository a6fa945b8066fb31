"""Command line over the native module: ``python -m ventra.sandbox run|backends|demo``.

This module runs the subcommands; its parts live in `ventra.sandbox._cli` by job: the
options (`options`), the pre-flight checks (`checks`), the supervision of the running
child (`live`) and every text it prints (`messages`).
"""

from __future__ import annotations

import argparse
import logging
import signal
import sys
from typing import Any, Callable, Dict, Optional, Sequence

from . import _events, _native
from ._backends import backend_row
from ._cli import checks, live, messages
from ._cli.messages import EXIT_REFUSED, EXIT_USAGE
from ._cli.options import build_parser, build_spec, timeout_of
from .session import Session
from .spawn_spec import check_entries

__all__ = ["main", "build_parser", "EXIT_USAGE", "EXIT_REFUSED"]


def _notices(args: argparse.Namespace, spec: Dict[str, Any],
             row: Optional[_native.BackendInfo]) -> None:
    """The pre-flight checks whose findings do not stop the run."""
    for entry in checks.missing_path_entries(spec, row):
        messages.notice(args, messages.missing_path_entry(entry))
    if row is not None and not row.isolates:
        messages.notice(args, messages.NONE_WARNING)
    unenforced = checks.unenforced(spec, row)
    if unenforced:
        messages.notice(args, messages.unenforced(unenforced))


def cmd_run(args: argparse.Namespace) -> int:
    session: Optional[Session] = None
    proc: Optional[_native.LocalProcess] = None
    pump: Optional[live.StdinPump] = None
    # -q keeps the refusals off standard error; either way they stay off logging's
    # last-resort output.
    lines = logging.NullHandler() if getattr(args, "quiet", False) else messages.RefusalLines()
    _events.LOGGER.addHandler(lines)
    try:
        try:
            spec = build_spec(args)
            if args.allow or args.deny:
                session = Session(check_entries(args.allow, "--allow", "allow-list parse"),
                                  check_entries(args.deny, "--deny", "deny-list parse"))
                spec = session.prepare(spec)
            row = backend_row(spec.get("backend"))
            if not (args.collect or args.json):
                spec.update(live.live_keys())
            problem = checks.launch_problem(spec, row)
            if problem is not None:
                messages.err(f"error: {problem}")
                return EXIT_REFUSED
            _notices(args, spec, row)
            keys, pump = live.stdin_key(args)
            spec.update(keys)
            # What we printed must come before anything the child's output adds to ours.
            sys.stdout.flush()
            sys.stderr.flush()
            proc = _native.spawn(spec)
            record = _events.RunRecord(proc)
            if pump is not None:
                pump.close_read_end()
                pump.start()
        except (ValueError, TypeError) as exc:
            messages.err(f"error: {exc}")
            return EXIT_USAGE
        except RuntimeError as exc:
            messages.err(f"error: {exc}")
            if "sandbox backend" in str(exc):  # unknown or unavailable backend
                print(messages.refusal_hint(), file=sys.stderr)
            return EXIT_REFUSED
        code = live.supervise(args, proc, record.started, timeout_of(args), session)
        record.ended(code)
        if proc.memory_limit_exceeded:
            messages.notice(args, messages.memory_killed(spec["memory_bytes"]))
        return code
    except KeyboardInterrupt:
        # Ctrl-C outside the supervised wait. A handle that never reached `proc` is
        # dropped with the unwound call, and its disposal kills the group.
        if proc is not None:
            proc.kill()
        messages.notice(args, messages.interrupted(int(signal.SIGINT)))
        return 128 + int(signal.SIGINT)
    finally:
        if session is not None:
            session.close()
        _events.flush()  # the refusals still queued
        _events.LOGGER.removeHandler(lines)


def cmd_backends(_args: argparse.Namespace) -> int:
    for info in _native.available_backends():
        state = "available" if info.available else "unavailable"
        note = info.summary if info.available else f"{info.summary} ({info.reason})"
        print(f"{info.kind:<13} {state:<12} {note}".rstrip())
    return 0


def cmd_demo(_args: argparse.Namespace) -> int:
    from . import _demo

    return _demo.main()


_COMMANDS: Dict[str, Callable[[argparse.Namespace], int]] = {
    "run": cmd_run,
    "backends": cmd_backends,
    "demo": cmd_demo,
}


def main(argv: Optional[Sequence[str]] = None) -> int:
    live.hold_closed_stdio()
    args = build_parser().parse_args(argv)
    try:
        return _COMMANDS[args.cmd](args)
    except BrokenPipeError:
        # Our reader went away (``... | head``): exit quietly, as a killed writer would,
        # without a second error when the interpreter flushes stdout at exit.
        live.discard_stdout()
        return 128 + signal.SIGPIPE
