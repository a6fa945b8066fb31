"""What a run used and where its connections went, on every backend: each figure is within
a wide band of what the script did where this host measures it, and None with its reason
where it does not."""

import os
import socket
import threading

import pytest

from ventra.sandbox import _native, aio
from ventra.sandbox.usage import Usage

HANG_S = 30  # generous bound that only catches hangs
INFO = {b.kind: b for b in _native.available_backends()}
EVERY = [pytest.param(name, marks=pytest.mark.skipif(
    not INFO[kind].available, reason=f"{name} unavailable here: {INFO[kind].reason}"))
    for name, kind in (("none", "none"), ("bubblewrap", "bubblewrap"), ("userns-lite", "userns"))]

MIB = 1 << 20
FIGURES = ("wall_s", "cpu_user_s", "cpu_system_s", "peak_memory_bytes", "peak_rss_bytes",
           "max_processes", "io_read_bytes", "io_write_bytes", "oom_killed")


def cpu(u):
    return u.cpu_user_s + u.cpu_system_s


def _within(low, high):
    return lambda v: low <= v <= high


# (spec keys, script, figure, check of its value when measured). Bounds are wide: they
# catch a figure from the wrong place (the host's parent, a group never written), not noise.
ROWS = [
    ({}, "true", "peak_rss_bytes", _within(1, 200 * MIB)),
    ({"memory_bytes": 512 * MIB}, "python3 -c 'a = bytearray(200 << 20)'",
     "peak_memory_bytes", _within(200 * MIB, 512 * MIB)),
    # The private /tmp is a tmpfs (under "none" the work dir stands in).
    ({"memory_bytes": 512 * MIB}, "head -c 209715200 /dev/zero > {tmp}/ventra-usage-$$",
     "peak_memory_bytes", _within(190 * MIB, 512 * MIB)),
    # Busy until it has used 0.5 s of CPU itself, however loaded the machine is.
    ({}, "python3 -c 'import time\nwhile time.process_time() < 0.5: pass'", "cpu",
     _within(0.45, 3.0)),
    ({}, "sleep 0.5", "cpu", _within(0, 0.1)),
    ({}, "sleep 0.5", "wall_s", _within(0.45, HANG_S)),
    ({}, "for i in $(seq 20); do sleep 1 & done; wait", "max_processes", _within(21, 1024)),
    ({}, "python3 -c 'import os\nf = os.open(\"big\", os.O_WRONLY | os.O_CREAT)\n"
         "os.write(f, bytes(30 << 20)); os.fsync(f)'; rm -f big",
     "io_write_bytes", _within(30 * MIB, 200 * MIB)),
    ({"memory_bytes": 64 * MIB}, "python3 -c 'a = bytearray(1 << 30)\n"
     "for i in range(0, len(a), 4096): a[i] = 1'", "oom_killed", lambda v: v is True),
    ({"memory_bytes": 64 * MIB}, "kill -9 $$", "oom_killed", lambda v: v is False),
]


@pytest.fixture(scope="module")
def big_parent():
    # The spawning process holds 1 GiB, touched: its high-water mark must not become the
    # child's.
    ballast = bytearray(1 << 30)
    for i in range(0, len(ballast), 4096):
        ballast[i] = 1
    yield
    del ballast


@pytest.mark.parametrize("backend", EVERY)
@pytest.mark.parametrize("keys,script,figure,check", ROWS,
                         ids=[f"{row[2]}-{i}" for i, row in enumerate(ROWS)])
def test_each_figure_is_measured_or_none_with_its_reason(backend, tmp_path, big_parent, keys,
                                                         script, figure, check):
    script = script.replace("{tmp}", "." if backend == "none" else "/tmp")
    p = _native.spawn({"script_type": "shell", "input": script, "backend": backend,
                       "host_work_dir": str(tmp_path), "timeout_s": HANG_S, **keys})
    assert p.usage() is None  # nothing is handed out before the collect
    code, out, err = p.wait_and_collect()
    u = aio.result_of(p, code, out, err).usage
    assert isinstance(u, Usage) and set(u.sources) == set(FIGURES)
    for name in FIGURES:
        # Unknown is None, and says why; known says where from.
        unknown = u.sources[name].startswith("not measured")
        assert (getattr(u, name) is None) == unknown, (name, u)
    kind = {"none": "none", "bubblewrap": "bubblewrap", "userns-lite": "userns"}[backend]
    if "memory_bytes" not in INFO[kind].limits:  # no memory group here (uid 65534 on v1)
        assert (u.peak_memory_bytes, u.oom_killed) == (None, None), u
    if figure == "cpu":
        assert check(cpu(u)), u
        return
    value = getattr(u, figure)
    # The init relays the largest process's peak under both Linux backends, as any user.
    assert value is not None or figure != "peak_rss_bytes" or backend == "none", u.sources
    if value is None:
        pytest.skip(f"{figure} here: {u.sources[figure]}")
    assert check(value), (figure, value, u.sources[figure], code, err)


class Sink:
    """A loopback service that reads to end of stream, then answers `reply` bytes."""

    def __init__(self, reply):
        self.server = socket.create_server(("127.0.0.1", 0))
        self.port = self.server.getsockname()[1]
        self.received = []
        threading.Thread(target=self._serve, args=(reply,), daemon=True).start()

    def _serve(self, reply):
        with self.server:
            while True:
                try:
                    conn, _ = self.server.accept()
                except OSError:
                    return
                with conn:
                    got = 0
                    while chunk := conn.recv(65536):
                        got += len(chunk)
                    self.received.append(got)
                    conn.sendall(bytes(reply))

    def close(self):
        self.server.close()


# Two tunnels through the HTTP proxy (up, then down bytes known) and a refused CONNECT.
TUNNELS = r"""
import os, socket, sys
host, port = os.environ["HTTP_PROXY"].rsplit("/", 1)[1].rsplit(":", 1)
def tunnel(target, up):
    s = socket.create_connection((host, int(port)))
    s.sendall(f"CONNECT {target} HTTP/1.1\r\nHost: {target}\r\n\r\n".encode())
    head = b""
    while b"\r\n\r\n" not in head:
        chunk = s.recv(1)
        if not chunk: break
        head += chunk
    if b" 200 " not in head.split(b"\r\n")[0]:
        print("refused"); return
    s.sendall(bytes(up)); s.shutdown(socket.SHUT_WR)
    got = 0
    while chunk := s.recv(65536): got += len(chunk)
    print(got)
tunnel("127.0.0.1:%d", 100000)
tunnel("127.0.0.1:%d", 7)
tunnel("example.org:443", 1)
"""


@pytest.mark.parametrize("backend", EVERY)
def test_the_egress_record_counts_each_tunnel_and_lists_refusals(backend, tmp_path):
    sink = Sink(reply=54321)
    proxy = _native.AllowListProxy(["127.0.0.1"], [])
    try:
        env = dict(_native.proxy_env_vars(proxy.url, proxy.socks_url))
        p = _native.spawn({"script_type": "python", "input": TUNNELS % (sink.port, sink.port),
                           "backend": backend, "host_work_dir": str(tmp_path), "env": env,
                           "network_mode": "allowlist", "network_allowlist": ["127.0.0.1"],
                           "timeout_s": HANG_S})
        code, out, err = p.wait_and_collect()
        assert (code, out.split()) == (0, [b"54321", b"54321", b"refused"]), err
        run = p.connections()
        session, dropped = proxy.connections()
    finally:
        proxy.close()
        sink.close()
    assert dropped == 0
    # Only the fence tells a run's connections apart; the session sees them under any.
    assert (run is None) == (backend == "none")
    for entries in [session] + ([run[0]] if run else []):
        rows = [(e["verdict"], e["host"], e["bytes_up"], e["bytes_down"], e["reason"])
                for e in entries]
        assert rows == [("admitted", "127.0.0.1", 100000, 54321, None),
                        ("admitted", "127.0.0.1", 7, 54321, None),
                        ("refused", "example.org", None, None, "not in the allow list")], rows
        assert entries[0]["address"] == "127.0.0.1" and entries[0]["protocol"] == "http"
        assert 0 <= entries[0]["duration_s"] < HANG_S
