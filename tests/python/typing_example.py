"""Uses the whole surface of ventra.sandbox._native; checked with `mypy --strict`."""

import asyncio
from typing import Dict, List, Optional, Tuple

from ventra.sandbox import Result, Session, SpawnSpec, _native
from ventra.sandbox import run as run_async


def run(script: str, allow: List[str]) -> Tuple[int, bytes, bytes, str]:
    proxy = _native.AllowListProxy(allow, deny=["169.254.169.254"])
    url: str = proxy.url
    socks: str = proxy.socks_url
    env: Dict[str, str] = dict(_native.proxy_env_vars(url, socks))
    env.update(_native.proxy_env_vars(url))
    proc: _native.LocalProcess = _native.spawn({
        "script_type": "shell", "input": script, "env": env, "timeout_s": 5.0,
        "network_mode": "allowlist", "network_allowlist": allow, "capture_stderr": False,
        "backend": "none"})
    pid: int = proc.pid()
    out: bytes = proc.read_stdout() + proc.read_stderr()
    code: int = proc.wait()
    proc.kill()
    collected: Tuple[int, bytes, bytes] = proc.wait_and_collect()
    proxy.close()
    return code + pid + collected[0], out, collected[1], proc.backend


def inspect() -> Optional[str]:
    infos: List[_native.BackendInfo] = _native.available_backends()
    fs = _native.default_fs_allowlist()
    read_only: List[str] = fs["read_only"]
    read_write: List[str] = fs["read_write"]
    usable = [info.kind for info in infos if info.available]
    try:
        _native.spawn({"script_type": "argv", "argv": ["true"], "backend": usable[0]})
    except _native.InternalError:
        return None
    return ",".join(read_only + read_write)


def in_session(script: str) -> Tuple[int, Result]:
    spec: SpawnSpec = {"script_type": "shell", "input": script, "stdout_fd": 1,
                       "stderr_to_stdout": True}
    with Session(allow=["example.org"], deny=["169.254.169.254"], backend="none") as session:
        code, _, _ = session.spawn(spec).wait_and_collect()
        return code, asyncio.run(session.run({"input": script, "timeout_s": 5}))


def refused_at_the_call_site() -> None:
    # Each ignore is needed: --strict reports an unused one, so each line must be caught.
    asyncio.run(run_async({"script_type": "shell", "timeout_s": "5"}))  # type: ignore[typeddict-item]
    with Session() as session:
        session.spawn({"backend": 3})  # type: ignore[typeddict-item]
