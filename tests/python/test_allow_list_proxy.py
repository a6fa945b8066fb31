"""AllowListProxy: its URLs, close() and deallocation, and admissions and refusals end to
end through each protocol with the real resolver. Bad entries are test_cli.py's rows."""

import contextlib
import errno
import gc
import re
import socket

import pytest

from ventra.sandbox import _native

HANG_S = 30  # generous bound that only catches hangs


def port_of(url):
    return int(url.rsplit(":", 1)[1])


@pytest.mark.parametrize("ending,args", [("close", (["example.org"], ["169.254.169.254"])),
                                         ("drop", ([],))])
def test_close_or_drop_stops_both_loopback_listeners(ending, args, refused_soon):
    proxy = _native.AllowListProxy(*args)
    url, socks_url = proxy.url, proxy.socks_url
    assert re.fullmatch(r"http://127\.0\.0\.1:\d+", url)
    assert re.fullmatch(r"socks5h://127\.0\.0\.1:\d+", socks_url)
    assert port_of(url) != port_of(socks_url)
    if ending == "close":
        assert proxy.close() is None
        assert proxy.close() is None
        assert (proxy.url, proxy.socks_url) == (url, socks_url)
    else:
        del proxy
        gc.collect()
    assert refused_soon(url) and refused_soon(socks_url)


@pytest.fixture
def upstream():
    """Listeners on 127.0.0.1:P and, where the host has it, [::1]:P, so an admitted
    connection is seen whichever address localhost resolves to. `reached()` counts what
    they accepted: a proxy replies only after its connect returned, so by then the
    connection is queued."""
    for _ in range(50):
        listeners = [socket.create_server(("127.0.0.1", 0))]
        port = listeners[0].getsockname()[1]
        try:
            listeners.append(socket.create_server(("::1", port), family=socket.AF_INET6))
            break
        except OSError as e:
            if e.errno != errno.EADDRINUSE:
                break  # no IPv6 loopback here
            listeners.pop().close()

    def reached():
        n = 0
        for s in listeners:
            s.setblocking(False)
            with contextlib.suppress(BlockingIOError):
                while True:
                    s.accept()[0].close()
                    n += 1
        return n

    yield port, reached
    for s in listeners:
        s.close()


def http_status(proxy, host, port):
    with socket.create_connection(("127.0.0.1", port_of(proxy.url)), timeout=HANG_S) as s:
        s.sendall(f"CONNECT {host}:{port} HTTP/1.1\r\nHost: {host}\r\n\r\n".encode())
        return s.makefile("rb").readline().split()[1].decode()


def socks_reply_code(proxy, host, port):
    with socket.create_connection(("127.0.0.1", port_of(proxy.socks_url)), timeout=HANG_S) as s:
        name = host.encode()
        s.sendall(b"\x05\x01\x00\x05\x01\x00\x03" + bytes([len(name)]) + name + port.to_bytes(2, "big"))
        reply = s.makefile("rb").read(12)  # method choice, then REP in the fourth byte
        return reply[3]


def resolves_locally():
    # localhost must come from /etc/hosts: no query may leave the machine.
    with open("/etc/hosts") as f:
        return any("localhost" in line.split("#")[0].split()[1:] for line in f)


# The refusal and reply tables are proved on the core; these rows prove that the module's
# lists reach both proxies, the real resolver among them.
@pytest.mark.parametrize(
    "allow,host,admitted",
    [
        ([], "127.0.0.1", True),  # no allow list: anything not denied
        ([""], "127.0.0.1", False),  # an allow list with no entry admits nothing
        # Allowed by name, resolves to loopback: refused as internal...
        (["localhost"], "localhost", False),
        # ...unless a block of the allow list admits the address itself.
        (["localhost", "127.0.0.0/8", "::1"], "localhost", True),
    ],
)
def test_each_protocol_admits_or_refuses_end_to_end(upstream, allow, host, admitted):
    if host == "localhost" and not resolves_locally():
        pytest.skip("/etc/hosts has no localhost line; its lookup would leave the machine")
    port, reached = upstream
    proxy = _native.AllowListProxy(allow)
    try:
        assert http_status(proxy, host, port) == ("200" if admitted else "403")
        assert socks_reply_code(proxy, host, port) == (0 if admitted else 2)
    finally:
        proxy.close()
    assert reached() == (2 if admitted else 0)
