# Type stub of the native extension module ventra.sandbox._native.
from collections.abc import Sequence
from typing import Any, Literal, TypedDict, final

from typing_extensions import Self

# Not re-exported: the dictionary type lives in a plain module, so it exists at run time.
from .spawn_spec import SpawnSpec

__all__ = [
    "available_backends",
    "default_fs_allowlist",
    "proxy_env_vars",
    "spawn",
    "program_candidates",
    "sandbox_view",
    "open_sandbox",
    "DEFAULT_PATH",
    "DEFAULT_BACKEND",
    "BACKEND_KINDS",
    "WAITS_FOR_SANDBOX",
    "FENCED_BACKENDS",
    "LocalProcess",
    "ChangeSet",
    "BackendInfo",
    "AllowListProxy",
    "PersistentSandbox",
    "SandboxCommand",
]

class _FsAllowlist(TypedDict):
    read_only: list[str]
    read_write: list[str]

class _UsageSources(TypedDict):
    wall_s: str
    cpu_user_s: str
    cpu_system_s: str
    peak_memory_bytes: str
    peak_rss_bytes: str
    max_processes: str
    io_read_bytes: str
    io_write_bytes: str
    oom_killed: str

class _Usage(TypedDict):
    wall_s: float | None
    cpu_user_s: float | None
    cpu_system_s: float | None
    peak_memory_bytes: int | None
    peak_rss_bytes: int | None
    max_processes: int | None
    io_read_bytes: int | None
    io_write_bytes: int | None
    oom_killed: bool | None
    sources: _UsageSources

class _Connection(TypedDict):
    time: float
    protocol: str
    host: str
    port: int
    address: str | None
    verdict: Literal["admitted", "refused", "failed"]
    reason: str | None
    bytes_up: int | None
    bytes_down: int | None
    duration_s: float | None

class InternalError(BaseException):
    """An internal failure of the native code (not in `__all__`)."""

def available_backends() -> list[BackendInfo]: ...

# The logging bridge's native half (ventra.sandbox._events) and the check of list entries
# behind the package's helpers; not in `__all__`.
def _wait_events(wait_s: float, level: int, /) -> bool: ...
def _take_events(
    level: int, /
) -> tuple[list[tuple[int, str, str, str | None, str | None, str | None, bool]], int]: ...
def _never_matching(entries: Sequence[str], /) -> list[str]: ...
def default_fs_allowlist() -> _FsAllowlist: ...
def proxy_env_vars(http_url: str, socks_url: str | None = None) -> list[tuple[str, str]]: ...
def program_candidates(program: str, path: str | None = None) -> list[str]: ...

class _SandboxView(TypedDict):
    work_dir: str
    private_work_dir: bool
    visible: list[tuple[str, bool]]
    program: str | None

def sandbox_view(
    program: str,
    path: str | None = None,
    work_dir: str | None = None,
    read_only: Sequence[str] = ...,
    read_write: Sequence[str] = ...,
) -> _SandboxView:
    """What a child of a Linux backend will see, from the layout its spawn would build:
    its work dir (`private_work_dir`: a fresh, empty one of its own), the host paths bound
    in as (path, writable) pairs, and the file it runs for `program` on `path`, or None."""

# The PATH a child whose env sets none gets from every backend but sandbox-exec.
DEFAULT_PATH: str
# The backend a spawn dict that names none gets; never swapped for a weaker one.
DEFAULT_BACKEND: str
# Every backend kind as `available_backends()` lists them, in its order (no probing).
BACKEND_KINDS: tuple[str, ...]
# Every name `spawn` accepts for a backend whose launch waits until a whole sandbox is up
# (milliseconds of waiting for other processes) rather than only for the program's exec.
WAITS_FOR_SANDBOX: frozenset[str]
# Every name `spawn` accepts for a backend that, under a filtered policy (allowlist, or
# open with a deny list), lets the child reach only the loopback proxies its proxy
# variables name; its loopback is its own.
FENCED_BACKENDS: frozenset[str]

def spawn(spec_dict: SpawnSpec | dict[str, Any]) -> LocalProcess:
    """Launch a child described by `spec_dict` (keys: `SpawnSpec`); unknown keys are ignored.

    ``stdout_fd`` / ``stderr_fd`` (int, an open descriptor of the caller) forward the
    stream there as it arrives, uncapped, instead of collecting it (it then collects as
    ``b""``); the descriptor is duplicated at spawn and never closed. ``stderr_to_stdout``
    gives the child one pipe for both streams, as with ``2>&1``. ``stdin_fd`` (int, an
    open pipe, socket or regular file of the caller; a file is fed through a pipe) is the
    child's standard input instead of the null device; a terminal, directory, ``O_PATH``
    descriptor or other device raises ValueError. ``require_limits`` (bool) refuses the
    spawn with RuntimeError when a limit it asks for does not hold here.
    ``max_output_bytes`` (int, at most 268435456, the default) bounds what each kept
    stream keeps; ``output_tail`` (bool) keeps its last bytes instead of its first. Past
    the bound a notice goes to our stderr. An unavailable backend's RuntimeError carries
    what is missing as its ``reason`` attribute and as a note.
    """
@final
class LocalProcess:
    """A spawned process. Mirrors a small subset of `subprocess.Popen`."""

    @property
    def backend(self) -> Literal["bubblewrap", "userns-lite", "sandbox-exec", "none"]: ...
    @property
    def memory_limit_exceeded(self) -> bool: ...
    def wait(self) -> int: ...
    def read_stdout(self) -> bytes: ...
    def read_stderr(self) -> bytes: ...
    def wait_and_collect(self) -> tuple[int, bytes, bytes]: ...
    def kill(self) -> None: ...
    def pid(self) -> int: ...
    @property
    def pipe_closed(self) -> bool: ...
    @property
    def output_lost(self) -> bool: ...
    @property
    def output_error(self) -> str | None: ...
    def usage(self) -> _Usage | None:
        """What the run used, once `wait_and_collect` has returned (None before). A figure
        this host cannot measure is None; ``sources`` says where each came from."""
    def connections(self) -> tuple[list[_Connection], int] | None:
        """The run's egress decisions and how many were dropped; None where the run's
        connections cannot be told apart from others of its session (no fence)."""
    @property
    def overlay(self) -> ChangeSet | None:
        """The run's changes with the spawn key ``overlay``, once the child has exited
        (RuntimeError before); None without it."""

class _ApplyReport(TypedDict):
    applied: int
    conflicts: list[tuple[str, str]]
    failures: list[tuple[str, str]]

@final
class ChangeSet:
    """What a run changed in its copy-on-write work directory."""

    @property
    def pending(self) -> bool: ...
    @property
    def path(self) -> str: ...
    def changes(
        self,
    ) -> list[
        tuple[
            Literal["added", "modified", "deleted"],
            str,
            Literal["file", "directory", "link", "other"],
            int,
            int,
        ]
    ]: ...
    def apply(self) -> _ApplyReport: ...
    def discard(self) -> None: ...

@final
class BackendInfo:
    """Backend kind for `available_backends()` reporting."""

    @property
    def kind(self) -> Literal["bubblewrap", "userns", "sandbox-exec", "none"]: ...
    @property
    def available(self) -> bool: ...
    @property
    def summary(self) -> str: ...
    @property
    def reason(self) -> str: ...
    @property
    def limits(self) -> tuple[str, ...]: ...
    @property
    def names(self) -> tuple[str, ...]: ...
    @property
    def isolates(self) -> bool: ...
    @property
    def default_path(self) -> str: ...
    @property
    def waits_for_sandbox(self) -> bool: ...
    @property
    def holds_limits(self) -> bool: ...
    @property
    def fences(self) -> bool: ...
    @property
    def landlock(self) -> tuple[str, ...]: ...

@final
class AllowListProxy:
    """Per-session egress proxies (HTTP CONNECT + SOCKS5) enforcing an allow/deny filter."""

    def __new__(
        cls, allow: Sequence[str], deny: Sequence[str] = ..., *, max_connections: int = ...
    ) -> Self: ...
    @property
    def url(self) -> str: ...
    @property
    def socks_url(self) -> str: ...
    def close(self) -> None: ...
    def connections(self) -> tuple[list[_Connection], int]:
        """Every decision of both proxies, by time, and how many were dropped."""

def open_sandbox(
    spec_dict: SpawnSpec | dict[str, Any],
    lifetime_s: float | None = None,
    idle_timeout_s: float | None = None,
) -> PersistentSandbox: ...

@final
class PersistentSandbox:
    def start(
        self,
        argv: Sequence[str],
        env: dict[str, str] | None = None,
        cwd: str | None = None,
        stdin_fd: int | None = None,
        capture_stdout: bool = True,
        capture_stderr: bool = True,
        stderr_to_stdout: bool = False,
    ) -> SandboxCommand: ...
    def close(self) -> None:
        """Kill everything inside; copy-on-write changes not applied are dropped."""
    def changes(self) -> ChangeSet | None:
        """With ``overlay``: the change set of the sandbox's whole life, whose apply() and
        discard() end the sandbox first; None otherwise."""
    def connections(self) -> tuple[list[_Connection], int] | None:
        """The egress decisions over the sandbox's life (refusals past its fence's share
        included) and how many were dropped; None without a fence."""
    def freeze(self) -> None: ...
    def thaw(self) -> None: ...
    @property
    def status(self) -> Literal["running", "frozen", "closed", "expired", "failed"]: ...
    @property
    def backend(self) -> str: ...
    @property
    def work_dir(self) -> str: ...
    @property
    def host_work_dir(self) -> str: ...

class _CommandUsage(TypedDict):
    utime_us: int  # user CPU time, microseconds (wait4's ru_utime)
    stime_us: int  # system CPU time, microseconds (ru_stime)
    maxrss_kb: int  # peak resident set, KiB (ru_maxrss)
    inblock: int  # file-system blocks read, 512 B (ru_inblock)
    oublock: int  # file-system blocks written, 512 B (ru_oublock)

@final
class SandboxCommand:
    def wait(self, timeout_s: float | None = None) -> int: ...
    def poll(self) -> int | None: ...
    def wait_and_collect(self, timeout_s: float | None = None) -> tuple[int, bytes, bytes]: ...
    def read_stdout(self) -> bytes: ...
    def kill(self) -> None: ...
    def pid(self) -> int: ...
    @property
    def usage(self) -> _CommandUsage | None: ...
