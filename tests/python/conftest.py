"""Shared fixtures for the tests of ventra.sandbox._native (backend "none" throughout)."""

import functools
import os
import select
import socket
import subprocess
import sys
import textwrap
import threading
import time
from http.server import SimpleHTTPRequestHandler, ThreadingHTTPServer

import pytest

from ventra.sandbox import _native

HANG_S = 30  # generous bound that only catches hangs


@pytest.fixture
def package_env():
    """This environment, with PYTHONPATH leading to the ventra package under test."""
    root = os.path.dirname(os.path.dirname(os.path.dirname(_native.__file__)))
    return dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [root, os.environ.get("PYTHONPATH")])))


@pytest.fixture
def fresh_python(package_env):
    """Runs code in a fresh interpreter that sees the same ventra package."""
    return lambda code: subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                                       capture_output=True, timeout=120, env=package_env)


@pytest.fixture
def sh():
    """Spawns a shell script under the passthrough backend; extra keys go into the spec_dict."""
    return lambda script, **keys: _native.spawn(
        {"script_type": "shell", "input": script, "backend": "none", **keys})


class FifoReader:
    """Read end of a FIFO that sandboxed processes hold open for writing: its end of file
    proves that every one of them has died, without sleeping. Linux polls a FIFO as
    readable only once a writer has opened it, so waiting for a writer needs no loop."""

    def __init__(self, path):
        os.mkfifo(path)
        self.path, self.fd = path, os.open(path, os.O_RDONLY | os.O_NONBLOCK)

    def read(self):
        assert select.select([self.fd], [], [], HANG_S)[0], "no writer, or a writer still alive"
        return os.read(self.fd, 4096)  # one short write arrives whole

    def wait_eof(self):
        while self.read():
            pass


@pytest.fixture
def fifo(tmp_path):
    reader = FifoReader(tmp_path / "alive")
    yield reader
    os.close(reader.fd)


@pytest.fixture
def refused_soon():
    """True once a connection to the port of a proxy URL is refused (the listener is gone)."""

    def check(url):
        for _ in range(100):  # for 5 s at most
            try:
                socket.create_connection(("127.0.0.1", int(url.rsplit(":", 1)[1])), 1).close()
            except ConnectionRefusedError:
                return True
            except ConnectionResetError:
                pass  # the listener closed while this connection waited in its queue
            time.sleep(0.05)
        return False

    return check


@pytest.fixture
def web_server(tmp_path):
    """A loopback web server of the host's whose page reads "reached the server"; its port."""
    (tmp_path / "index.html").write_text("reached the server\n")
    handler = functools.partial(SimpleHTTPRequestHandler, directory=str(tmp_path))
    server = ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    yield server.server_address[1]
    server.shutdown()
    server.server_close()
