"""`NodePool`: one actor per Ray node, each holding one `NodeSession` (one `Session`, one
set of egress proxies), and `Lease`, a sandbox handed out by it.

Ray places the tasks; a task asks the actor of its own node for sandboxes, so commands
and files never cross the network. Only plain data comes back (`RunRecord`, bytes, str).
Built on actors and scheduling strategies alone, so any Ray 2 release serves.

    pool = NodePool.start(allow=["files.example.org"], backend="userns")

    @ray.remote
    def score(pool, code):
        return pool.run(["python3", "solution.py"], files={"solution.py": code})

    records = ray.get([score.remote(pool, c) for c in solutions])

Short runs go in batches, one actor call for many (`run_many`): a Ray task and its actor
call cost the node more than a short sandboxed run.

A sandbox dies with the actor that holds it: if the actor (or its node) dies, every call
on it raises a Ray error (``ray.exceptions.RayActorError``) and the node is left with no
process, cgroup or work dir of it.
"""

from __future__ import annotations

from types import TracebackType
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple, Type

from ._node import Command, NodeSession
from ._records import RunRecord

__all__ = ["Lease", "NodePool"]

_ACTOR: Any = None


def _ray() -> Any:
    import ray  # type: ignore[import-not-found, unused-ignore]
    import ray.util.scheduling_strategies  # type: ignore[import-not-found, unused-ignore]

    return ray


class _NodeActor:
    """The actor body: a `NodeSession` whose calls arrive from tasks on its node."""

    def __init__(self, allow: Sequence[str], deny: Sequence[str], options: Dict[str, Any]) -> None:
        ray = _ray()

        self.node = NodeSession(allow, deny, node_id=ray.get_runtime_context().get_node_id(),
                                **options)

    def call(self, method: str, *args: Any, **kw: Any) -> Any:
        if method.startswith("_") or not hasattr(self.node, method):
            raise AttributeError(f"NodeSession has no method {method!r}")
        return getattr(self.node, method)(*args, **kw)


def _actor_class() -> Any:
    global _ACTOR
    if _ACTOR is None:
        ray = _ray()

        _ACTOR = ray.remote(_NodeActor)
    return _ACTOR


def _node_id() -> str:
    ray = _ray()

    return str(ray.get_runtime_context().get_node_id())


class NodePool:
    """Handles to one pool actor per node; pickles, so tasks take it as an argument.

    Use `start` to make one. `run` and `sandbox` go to the actor of the node the caller
    runs on.
    """

    def __init__(self, actors: Mapping[str, Any]) -> None:
        self._actors = dict(actors)

    @classmethod
    def start(cls, allow: Sequence[str] = (), deny: Sequence[str] = (), *,
              backend: Optional[str] = None, max_sandboxes: int = 64,
              max_concurrency: int = 32, root: Optional[str] = None,
              nodes: Optional[Sequence[str]] = None, timeout_s: float = 120,
              session_factory: Optional[Callable[..., Any]] = None) -> "NodePool":
        """Start an actor on each alive node (or on the ``nodes`` ids given) and wait until
        every one holds its `Session`; a node that cannot make one raises its error here.
        ``allow``, ``deny`` and ``backend`` are the `Session`'s; ``max_sandboxes`` bounds
        the live sandboxes per node and ``max_concurrency`` the calls an actor serves at
        once; ``root`` is where work dirs go and ``session_factory`` what makes the `Session`
        (``ventra.sandbox.Session`` when None; it must pickle). The actors take no CPU of
        Ray's, so tasks keep every slot."""
        ray = _ray()
        affinity = ray.util.scheduling_strategies.NodeAffinitySchedulingStrategy

        if nodes is None:
            nodes = [n["NodeID"] for n in ray.nodes() if n.get("Alive")]
        options = {"backend": backend, "max_sandboxes": max_sandboxes, "root": root,
                   "session_factory": session_factory}
        actors = {}
        for node in nodes:
            actors[node] = _actor_class().options(
                num_cpus=0, max_concurrency=max_concurrency, max_restarts=0,
                scheduling_strategy=affinity(node, soft=False),
            ).remote(list(allow), list(deny), options)
        pool = cls(actors)
        try:
            ray.get([a.call.remote("stats") for a in actors.values()], timeout=timeout_s)
        except BaseException:
            pool.kill()
            raise
        return pool

    @property
    def nodes(self) -> Tuple[str, ...]:
        return tuple(self._actors)

    def actor(self, node_id: Optional[str] = None) -> Any:
        """The actor of ``node_id`` (the caller's node when None)."""
        node_id = node_id or _node_id()
        try:
            return self._actors[node_id]
        except KeyError:
            raise LookupError(f"the pool has no actor on node {node_id}: it was started "
                              "before this node joined; start a new pool") from None

    def _call(self, node_id: Optional[str], method: str, *args: Any, **kw: Any) -> Any:
        ray = _ray()

        return ray.get(self.actor(node_id).call.remote(method, *args, **kw))

    def run(self, command: Command, *, files: Optional[Mapping[str, bytes]] = None,
            collect: Sequence[str] = (), env: Optional[Mapping[str, str]] = None,
            timeout_s: Optional[float] = None, node_id: Optional[str] = None,
            **limits: Any) -> RunRecord:
        """Run ``command`` in a fresh sandbox of this node, closed after it: see
        `NodeSession.run`. No sandbox serves two runs."""
        # A single str goes as it is, for the node to refuse.
        paths = collect if isinstance(collect, (str, bytes)) else list(collect)
        record: RunRecord = self._call(node_id, "run", command, files=files, collect=paths,
                                       env=env, timeout_s=timeout_s, **limits)
        return record

    def run_many(self, runs: Sequence[Any], *, concurrency: Optional[int] = None,
                 return_exceptions: bool = False, node_id: Optional[str] = None,
                 **common: Any) -> List[Any]:
        """Many runs in one call to this node's actor, up to ``concurrency`` at once, each
        in a fresh sandbox: see `NodeSession.run_many`. One call instead of one per run is
        what lets short runs keep up with the node: a Ray task and its actor call cost more
        than a short sandboxed run."""
        records: List[Any] = self._call(node_id, "run_many", list(runs), concurrency=concurrency,
                                        return_exceptions=return_exceptions, **common)
        return records

    def sandbox(self, *, reuse: Optional[str] = None, env: Optional[Mapping[str, str]] = None,
                node_id: Optional[str] = None, **limits: Any) -> "Lease":
        """A sandbox of this node for many commands, fresh unless ``reuse`` names a key
        under which one is still live: then the `Lease` says ``reused`` and what
        ``carries_over``. Close it (or leave its ``with`` block) when the task is done; one
        left open ends after ``idle_timeout_s`` (600 s unless given) without a command."""
        actor = self.actor(node_id)
        ray = _ray()

        limits.setdefault("idle_timeout_s", 600)
        opened = ray.get(actor.call.remote("open", reuse=reuse, env=env, **limits))
        return Lease(actor, opened["id"], opened["reused"], tuple(opened["carries_over"]))

    def stats(self) -> List[Dict[str, Any]]:
        """Per node: its id, the actor's pid, the work root, live sandboxes, refusals."""
        ray = _ray()

        refs = [a.call.remote("stats") for a in self._actors.values()]
        stats: List[Dict[str, Any]] = ray.get(refs)
        return stats

    def shutdown(self, timeout_s: float = 60) -> None:
        """Close every sandbox and session, then end the actors."""
        ray = _ray()

        try:
            ray.get([a.call.remote("shutdown") for a in self._actors.values()], timeout=timeout_s)
        finally:
            self.kill()

    def kill(self) -> None:
        """End the actors at once; their sandboxes die with them."""
        ray = _ray()

        for actor in self._actors.values():
            ray.kill(actor, no_restart=True)


class Lease:
    """One sandbox on one node's actor; every call is a Ray call and returns plain data.

    ``reused`` is True when `NodePool.sandbox` handed out a live sandbox under its reuse
    key, and ``carries_over`` then lists what the earlier tasks left in it.
    """

    def __init__(self, actor: Any, sandbox_id: str, reused: bool = False,
                 carries_over: Tuple[str, ...] = ()) -> None:
        self._actor, self.id = actor, sandbox_id
        self.reused, self.carries_over = reused, carries_over

    def _call(self, method: str, *args: Any, **kw: Any) -> Any:
        ray = _ray()

        return ray.get(self._actor.call.remote(method, self.id, *args, **kw))

    def exec(self, command: Command, **kw: Any) -> RunRecord:
        """As `Sandbox.exec` (``env``, ``cwd``, ``timeout_s``, ``stdin``)."""
        record: RunRecord = self._call("exec", command, **kw)
        return record

    def exec_many(self, commands: Sequence[Command], **kw: Any) -> List[RunRecord]:
        """The ``commands`` one after another in this sandbox, in one Ray call, each
        seeing what the earlier ones left (``kw`` as for `exec`)."""
        records: List[RunRecord] = self._call("exec_many", list(commands), **kw)
        return records

    def spawn(self, command: Command) -> int:
        """Start ``command`` in the background; returns its pid."""
        return int(self._call("spawn", command))

    def write_file(self, path: str, data: bytes) -> None:
        self._call("write_file", path, data)

    def read_file(self, path: str) -> bytes:
        return bytes(self._call("read_file", path))

    @property
    def status(self) -> str:
        return str(self._call("status"))

    def close(self) -> None:
        self._call("close")

    def __enter__(self) -> "Lease":
        return self

    def __exit__(self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException],
                 tb: Optional[TracebackType]) -> None:
        self.close()
