"""AllowListProxy: construction errors, URLs, close() and deallocation."""

import gc
import re
import socket
import time

import pytest

from ventra.sandbox import _native


def port_of(url):
    return int(url.rsplit(":", 1)[1])


def refused_soon(port, bound=5.0):
    """True once a connection to 127.0.0.1:port is refused (the listener is gone)."""
    end = time.monotonic() + bound
    while time.monotonic() < end:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
        except ConnectionRefusedError:
            return True
        time.sleep(0.05)
    return False


def connect_reply(url, target):
    with socket.create_connection(("127.0.0.1", port_of(url)), timeout=10) as s:
        s.sendall(f"CONNECT {target} HTTP/1.1\r\nHost: {target}\r\n\r\n".encode())
        return s.recv(64)


def test_open_egress_listens_on_two_loopback_ports():
    proxy = _native.AllowListProxy([])
    try:
        assert re.fullmatch(r"http://127\.0\.0\.1:\d+", proxy.url)
        assert re.fullmatch(r"socks5h://127\.0\.0\.1:\d+", proxy.socks_url)
        assert port_of(proxy.url) != port_of(proxy.socks_url)
    finally:
        proxy.close()


@pytest.mark.parametrize(
    "args,kwargs,exc,message",
    [
        (("example.org",), {}, TypeError, "argument 'allow': Can't extract `str` to `Vec`"),
        (([],), {"deny": "x"}, TypeError, "argument 'deny': Can't extract `str` to `Vec`"),
        (([],), {"deny": None}, TypeError, "argument 'deny': 'NoneType' object cannot be converted to 'Sequence'"),
        (([1],), {}, TypeError, "argument 'allow': 'int' object cannot be converted to 'PyString'"),
        ((), {}, TypeError, "AllowListProxy() missing 1 required positional argument: 'allow'"),
        (([], [], []), {}, TypeError, "AllowListProxy() takes from 1 to 2 positional arguments but 3 were given"),
        ((["a*.com"],), {"deny": ["*.*.com"]}, ValueError, "allow-list parse: bad wildcard pattern: a*.com"),
        ((["example.org"],), {"deny": ["A*.COM"]}, ValueError, "deny-list parse: bad wildcard pattern: a*.com"),
        (([],), {"deny": ["*"]}, ValueError, "deny-list parse: bad wildcard pattern: *"),
    ],
)
def test_construction_errors(args, kwargs, exc, message):
    with pytest.raises(exc) as e:
        _native.AllowListProxy(*args, **kwargs)
    assert str(e.value) == message


def test_close_is_idempotent_and_frees_both_ports():
    proxy = _native.AllowListProxy(["example.org"], deny=["169.254.169.254"])
    url, socks_url = proxy.url, proxy.socks_url
    assert proxy.close() is None
    assert proxy.close() is None
    assert (proxy.url, proxy.socks_url) == (url, socks_url)
    assert refused_soon(port_of(url)) and refused_soon(port_of(socks_url))


def test_dropping_the_last_reference_stops_both_proxies():
    proxy = _native.AllowListProxy([])
    ports = port_of(proxy.url), port_of(proxy.socks_url)
    del proxy
    gc.collect()
    assert all(refused_soon(p) for p in ports)


def test_blank_allow_entry_refuses_everything():
    proxy = _native.AllowListProxy([""])
    try:
        assert connect_reply(proxy.url, "127.0.0.1:9").startswith(b"HTTP/1.1 403")
    finally:
        proxy.close()
