"""`SandboxBackend`: ventra sandboxes behind Ray's own sandbox interface
(``ray.experimental.sandbox``), and `create`, its twin of ``ray.experimental.sandbox.create``.

Each Ray sandbox is one persistent sandbox of ours, held by the process that made the
backend (for `create`: a Ray actor on the node Ray picks). There is no image: commands see
the node's own file system, read-only, with a fresh work dir as the one writable place.
``network="none"`` gives no egress, ``"public"`` egress through the backend's allow and
deny lists; the other modes are refused rather than widened.
"""

from __future__ import annotations

import os
from typing import Any, Dict, List, Optional, Sequence, Union

try:
    import ray  # type: ignore[import-not-found, unused-ignore]
    from ray.experimental.sandbox import (  # type: ignore[import-not-found, unused-ignore]
        BaseSandboxBackend, ExecResult, SandboxCreationError, SandboxError, SandboxExecError,
        SandboxNotFoundError, SandboxStatus, SandboxTimeoutError)
    from ray.experimental.sandbox.config import (  # type: ignore[import-not-found, unused-ignore]
        SandboxConfig, parse_memory_bytes)
except ImportError as exc:  # Ray absent, or a release without the interface
    try:
        import ray as _ray  # type: ignore[import-not-found, unused-ignore]

        _have = f"this is Ray {_ray.__version__}"
    except ImportError:
        _have = "Ray is not installed"
    raise ImportError(
        "ventra.sandbox.ray.SandboxBackend needs Ray's sandbox interface "
        f"(ray.experimental.sandbox, Ray 2.60 or later) and {_have}; "
        "ventra.sandbox.ray.NodePool works with any Ray 2 release") from exc

from ._node import NodeSession, UnknownSandbox

__all__ = ["HOST_IMAGE", "Sandbox", "SandboxBackend", "create"]

# The only image: the node's own root file system, read-only.
HOST_IMAGE = "host"

# The backend methods of the interface this module was written against; a Ray release
# that asks for more is refused by name instead of failing at the first call.
_IMPLEMENTED = frozenset({"create_sandbox", "delete_sandbox", "exec_command", "write_file",
                          "read_file", "get_status"})
_missing = set(getattr(BaseSandboxBackend, "__abstractmethods__", ())) - _IMPLEMENTED
if _missing:
    raise ImportError(f"Ray {ray.__version__}'s sandbox interface asks backends for "
                      f"{', '.join(sorted(_missing))}, which ventra.sandbox.ray does not provide")

_NO_EGRESS_DENY = ["0.0.0.0/0", "::/0"]


class SandboxBackend(BaseSandboxBackend):  # type: ignore[misc, unused-ignore]
    """A backend of Ray's sandbox interface whose sandboxes are ventra sandboxes.

    ``allow`` and ``deny`` are the egress lists of ``network="public"`` sandboxes,
    ``backend`` the Linux backend (``"userns"`` or ``"bubblewrap"``), ``root`` where work
    dirs go, ``max_sandboxes`` how many may live at once (per network mode).
    """

    def __init__(self, allow: Sequence[str] = (), deny: Sequence[str] = (), *,
                 backend: Optional[str] = None, root: Optional[str] = None,
                 max_sandboxes: int = 64, **node_options: Any) -> None:
        super().__init__()  # its image manager stays unused: there are no images
        self._lists = (list(allow), list(deny))
        self._options = dict(backend=backend, root=root, max_sandboxes=max_sandboxes,
                             **node_options)
        self._nodes: Dict[str, NodeSession] = {}
        self._owner: Dict[str, str] = {}
        self._shell: Dict[str, str] = {}

    def _node(self, network: str) -> NodeSession:
        node = self._nodes.get(network)
        if node is None:
            allow, deny = self._lists if network == "public" else ([], _NO_EGRESS_DENY)
            node = self._nodes[network] = NodeSession(allow, deny, **self._options)
        return node

    def _where(self, sandbox_id: str) -> NodeSession:
        network = self._owner.get(sandbox_id)
        if network is None:
            raise SandboxNotFoundError(f"Sandbox '{sandbox_id}' not found or already deleted.")
        return self._nodes[network]

    def create_sandbox(self, config: SandboxConfig) -> str:
        limits = _limits(config)
        try:
            opened = self._node(config.network).open(env=config.env, **limits)
        except (OSError, RuntimeError, ValueError) as exc:
            raise SandboxCreationError(f"could not make a ventra sandbox: {exc}") from exc
        sandbox_id = str(opened["id"])
        self._owner[sandbox_id] = config.network
        self._shell[sandbox_id] = config.shell
        return sandbox_id

    def delete_sandbox(self, sandbox_id: str) -> None:
        network = self._owner.pop(sandbox_id, None)
        self._shell.pop(sandbox_id, None)
        if network is not None:
            self._nodes[network].close(sandbox_id)

    def exec_command(self, sandbox_id: str, command: Union[str, List[str]],
                     timeout: Optional[float] = None, cwd: Optional[str] = None,
                     env: Optional[Dict[str, str]] = None, shell: Optional[str] = None,
                     user: Optional[str] = None) -> ExecResult:
        node = self._where(sandbox_id)
        if user is not None:
            raise SandboxExecError("user is not supported: commands run as the sandbox's "
                                   "one user")
        argv = ([shell or self._shell[sandbox_id], "-c", command]
                if isinstance(command, str) else list(command))
        kw: Dict[str, Any] = {"env": env}
        if cwd is not None:
            kw["cwd"] = cwd
        if timeout is not None:
            kw["timeout_s"] = timeout
        try:
            record = node.exec(sandbox_id, argv, **kw)
        except UnknownSandbox as exc:
            raise SandboxNotFoundError(str(exc)) from exc
        except (OSError, RuntimeError) as exc:
            raise SandboxExecError(f"exec failed: {exc}") from exc
        if timeout is not None and record.exit_code == 137 and record.duration_s >= timeout:
            raise SandboxTimeoutError(f"command timed out after {timeout} seconds")
        return ExecResult(exit_code=record.exit_code,
                          stdout=record.stdout.decode("utf-8", "replace"),
                          stderr=record.stderr.decode("utf-8", "replace"),
                          duration_seconds=record.duration_s)

    def write_file(self, sandbox_id: str, path: str, content: Union[str, bytes],
                   append: bool = False) -> None:
        node = self._where(sandbox_id)
        data = content.encode() if isinstance(content, str) else bytes(content)
        try:
            if append:
                try:
                    data = node.read_file(sandbox_id, path) + data
                except OSError:  # nothing to append to yet
                    pass
            node.write_file(sandbox_id, path, data)
        except (OSError, ValueError) as exc:
            raise SandboxError(f"could not write {path!r}: {exc}") from exc

    def read_file(self, sandbox_id: str, path: str) -> bytes:
        node = self._where(sandbox_id)
        try:
            return node.read_file(sandbox_id, path)
        except (OSError, ValueError) as exc:
            raise SandboxError(f"could not read {path!r}: {exc}") from exc

    def get_status(self, sandbox_id: str) -> SandboxStatus:
        network = self._owner.get(sandbox_id)
        if network is None:
            return SandboxStatus.TERMINATED
        status = self._nodes[network].status(sandbox_id).lower()
        if status in ("running", "frozen"):
            return SandboxStatus.RUNNING
        return SandboxStatus.TERMINATED

    def close(self) -> None:
        """Delete every sandbox and close the sessions."""
        for node in self._nodes.values():
            node.shutdown()
        self._nodes.clear()
        self._owner.clear()


def _limits(config: SandboxConfig) -> Dict[str, Any]:
    """The `Session.sandbox` limits for ``config``; what we cannot honour is refused."""
    refuse = None
    if config.image != HOST_IMAGE:
        refuse = (f"image {config.image!r}: ventra sandboxes run the node's own file "
                  f"system, so the image is {HOST_IMAGE!r}")
    elif config.network not in ("none", "public"):
        refuse = (f"network={config.network!r}: egress is 'none' or 'public' (through the "
                  "allow and deny lists), never wider")
    elif not config.readonly:
        refuse = "readonly=False: the root file system is read-only; write in the work dir"
    elif config.capabilities:
        refuse = "capabilities: commands run with none"
    elif config.dns:
        refuse = "dns: names are resolved by the egress proxy"
    if refuse:
        raise SandboxCreationError(f"not offered by ventra sandboxes: {refuse}")
    if config.workdir is not None:
        raise SandboxCreationError("workdir: each sandbox gets a fresh work dir of its own "
                                   "(its commands' working directory); leave it None")
    limits: Dict[str, Any] = {}
    memory = parse_memory_bytes(config.memory)
    if memory:
        limits["memory_bytes"] = memory
    if config.cpu and config.cpu > 0:
        limits["cpu_milli"] = int(config.cpu * 1000)
    if config.ttl_seconds is not None and config.ttl_seconds > 0:
        limits["lifetime_s"] = config.ttl_seconds
    return limits


class Sandbox:
    """The actor body behind `create`: the methods of Ray's own sandbox actor
    (``exec``, ``write_file``, ``read_file``, ``upload_file``, ``download_file``,
    ``get_status``, ``get_instance_id``, ``delete``) over one `SandboxBackend` sandbox."""

    def __init__(self, allow: Sequence[str], deny: Sequence[str],
                 backend_options: Dict[str, Any], config: Dict[str, Any]) -> None:
        self._backend = SandboxBackend(allow, deny, **backend_options)
        self._id = self._backend.create_sandbox(SandboxConfig(**config))

    def get_instance_id(self) -> str:
        return self._id

    def exec(self, command: Union[str, List[str]], timeout: Optional[float] = None,
             cwd: Optional[str] = None, env: Optional[Dict[str, str]] = None,
             shell: Optional[str] = None) -> ExecResult:
        return self._backend.exec_command(self._id, command, timeout=timeout, cwd=cwd,
                                          env=env, shell=shell)

    def write_file(self, path: str, content: Union[str, bytes]) -> None:
        self._backend.write_file(self._id, path, content)

    def read_file(self, path: str) -> bytes:
        return self._backend.read_file(self._id, path)

    def upload_file(self, local_path: str, remote_path: str) -> None:
        with open(local_path, "rb") as f:
            self._backend.write_file(self._id, remote_path, f.read())

    def download_file(self, remote_path: str, local_path: str) -> None:
        data = self._backend.read_file(self._id, remote_path)
        os.makedirs(os.path.dirname(os.path.abspath(local_path)), exist_ok=True)
        with open(local_path, "wb") as f:
            f.write(data)

    def get_status(self) -> SandboxStatus:
        return self._backend.get_status(self._id)

    def delete(self) -> None:
        self._backend.close()

    terminate = delete


_ACTOR: Any = None


def create(image: str = HOST_IMAGE, *, allow: Sequence[str] = (), deny: Sequence[str] = (),
           backend: Optional[str] = None, cpu: Optional[float] = None,
           memory: Optional[Union[str, int, float]] = None, env: Optional[Dict[str, str]] = None,
           ttl_seconds: Optional[int] = None, network: str = "none",
           resources: Optional[Dict[str, float]] = None, root: Optional[str] = None,
           session_factory: Optional[Any] = None, **config: Any) -> Any:
    """As ``ray.experimental.sandbox.create``: a Ray actor holding one sandbox, placed by
    Ray (``cpu``, ``memory`` and ``resources`` reserve its share of a node), with the
    egress ``allow``/``deny`` lists for ``network="public"``; ``root`` and
    ``session_factory`` as for `NodePool.start`. The sandbox dies with the actor:
    ``ray.kill`` it, or call ``delete``."""
    global _ACTOR
    if _ACTOR is None:
        _ACTOR = ray.remote(Sandbox)
    actor_opts: Dict[str, Any] = {"max_restarts": 0}
    if cpu is not None and cpu >= 0:
        actor_opts["num_cpus"] = cpu
    if memory is not None and (parse_memory_bytes(memory) or 0) > 0:
        actor_opts["memory"] = parse_memory_bytes(memory)
    if resources:
        actor_opts["resources"] = resources
    fields = dict(config, image=image, env=env or {}, ttl_seconds=ttl_seconds, network=network,
                  cpu=cpu or 0.0, memory=memory or 0)
    _limits(SandboxConfig(**fields))  # bad input fails here, before an actor exists
    node_options = {"backend": backend, "root": root, "session_factory": session_factory}
    return _ACTOR.options(**actor_opts).remote(list(allow), list(deny), node_options, fields)
