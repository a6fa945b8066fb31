"""Until Session.sandbox exists: a sandbox whose every command is a one-shot spawn sharing
one work dir (files last; /tmp and the network namespace do not). Tests only."""

import os

from ventra.sandbox import Session
from ventra.sandbox.aio import Result


class StandInSession(Session):
    def sandbox(self, *, work_dir, memory_bytes=None, max_processes=None, cpu_milli=None,
                lifetime_s=None, idle_timeout_s=None):
        return _Box(self, work_dir, {k: v for k, v in (("memory_bytes", memory_bytes),
                    ("max_processes", max_processes), ("cpu_milli", cpu_milli)) if v})


class _Box:
    def __init__(self, session, work_dir, limits):
        self._s, self._wd, self._limits = session, work_dir, limits
        self._procs, self.status = [], "running"

    def _spec(self, cmd, env=None, cwd=None, timeout_s=None):
        spec = ({"script_type": "shell", "input": cmd} if isinstance(cmd, str)
                else {"script_type": "argv", "argv": cmd})
        spec.update(host_work_dir=self._wd, env=dict(env or {}, HOME=self._wd),
                    timeout_s=timeout_s or 60, **self._limits)
        return dict(spec, working_dir=cwd) if cwd else spec

    def exec(self, cmd, **kw):
        return Result(*self._s.spawn(self._spec(cmd, **kw)).wait_and_collect())

    def spawn(self, cmd):
        self._procs.append(self._s.spawn(self._spec(cmd, timeout_s=3600)))
        return self._procs[-1]

    def _path(self, path):
        full = os.path.realpath(os.path.join(self._wd, path))
        assert full.startswith(self._wd + os.sep), path
        return full

    def write_file(self, path, data):
        with open(self._path(path), "wb") as f:
            f.write(data)

    def read_file(self, path):
        with open(self._path(path), "rb") as f:
            return f.read()

    def close(self):
        for p in self._procs:
            p.kill()
            p.wait()
        self.status = "closed"
