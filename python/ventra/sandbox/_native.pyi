# Type stub of the native extension module ventra.sandbox._native.
from collections.abc import Mapping, Sequence
from typing import Any, Literal, TypedDict, final

from typing_extensions import NotRequired

__all__ = [
    "available_backends",
    "default_fs_allowlist",
    "proxy_env_vars",
    "spawn",
    "LocalProcess",
    "BackendInfo",
    "AllowListProxy",
]

_ScriptType = Literal["shell", "python", "argv"]
_NetworkMode = Literal["blocked", "open", "allowlist"]
_BackendName = Literal[
    "sandbox-exec", "sandboxexec", "none", "bubblewrap", "bwrap", "userns", "userns-lite"
]

class SpawnSpec(TypedDict):
    """The keys `spawn` reads; every key is optional except the script's own."""

    script_type: NotRequired[_ScriptType]
    argv: NotRequired[Sequence[str]]
    input: NotRequired[str]
    python_interpreter: NotRequired[str]
    env: NotRequired[Mapping[str, str]]
    host_work_dir: NotRequired[str]
    working_dir: NotRequired[str]
    timeout_s: NotRequired[float]
    cpu_milli: NotRequired[int]
    memory_bytes: NotRequired[int]
    gpu: NotRequired[int]
    ephemeral_storage_bytes: NotRequired[int]
    network_mode: NotRequired[_NetworkMode]
    network_allowlist: NotRequired[Sequence[str]]
    network_denylist: NotRequired[Sequence[str]]
    extra_read_only_paths: NotRequired[Sequence[str]]
    extra_read_write_paths: NotRequired[Sequence[str]]
    capture_stdout: NotRequired[bool]
    capture_stderr: NotRequired[bool]
    backend: NotRequired[_BackendName | str]

class _FsAllowlist(TypedDict):
    read_only: list[str]
    read_write: list[str]

class InternalError(BaseException):
    """An internal failure of the native code (not in `__all__`)."""

def available_backends() -> list[BackendInfo]: ...
def default_fs_allowlist() -> _FsAllowlist: ...
def proxy_env_vars(http_url: str, socks_url: str | None = None) -> list[tuple[str, str]]: ...
def spawn(spec_dict: SpawnSpec | dict[str, Any]) -> LocalProcess: ...
@final
class LocalProcess:
    """A spawned process. Mirrors a small subset of `subprocess.Popen`."""

    @property
    def backend(self) -> Literal["bubblewrap", "userns-lite", "sandbox-exec", "none"]: ...
    def wait(self) -> int: ...
    def read_stdout(self) -> bytes: ...
    def read_stderr(self) -> bytes: ...
    def wait_and_collect(self) -> tuple[int, bytes, bytes]: ...
    def kill(self) -> None: ...
    def pid(self) -> int: ...

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

@final
class AllowListProxy:
    """Per-session egress proxies (HTTP CONNECT + SOCKS5) enforcing an allow/deny filter."""

    def __init__(self, allow: Sequence[str], deny: Sequence[str] = ...) -> None: ...
    @property
    def url(self) -> str: ...
    @property
    def socks_url(self) -> str: ...
    def close(self) -> None: ...
