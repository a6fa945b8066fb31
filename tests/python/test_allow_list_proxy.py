"""AllowListProxy: its URLs, close() and deallocation, and admissions and refusals end to
end through each protocol. Bad entries are test_cli.py's rows."""

import gc
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
    if ending == "close":
        assert proxy.close() is None
        assert proxy.close() is None
        assert (proxy.url, proxy.socks_url) == (url, socks_url)
    else:
        del proxy
        gc.collect()
    assert refused_soon(url) and refused_soon(socks_url)


def http_status(proxy, port):
    with socket.create_connection(("127.0.0.1", port_of(proxy.url)), timeout=HANG_S) as s:
        s.sendall(f"CONNECT 127.0.0.1:{port} HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n".encode())
        return s.makefile("rb").readline().split()[1].decode()


def socks_reply_code(proxy, port):
    with socket.create_connection(("127.0.0.1", port_of(proxy.socks_url)), timeout=HANG_S) as s:
        # Greeting, then CONNECT to the name "127.0.0.1", as socks5h sends it.
        s.sendall(b"\x05\x01\x00\x05\x01\x00\x03\x09127.0.0.1" + port.to_bytes(2, "big"))
        return s.makefile("rb").read(12)[3]  # method choice, then REP in the fourth byte


# The admission and reply tables, the real resolver among them, and that a refusal never
# connects are proved on the core; these rows prove that both lists reach both proxies.
@pytest.mark.parametrize(
    "allow,deny,admitted",
    [
        ([], [], True),  # no allow list: anything not denied
        ([""], [], False),  # an allow list with no entry admits nothing
        ([], ["127.0.0.0/8"], False),
    ],
)
def test_each_protocol_admits_or_refuses_end_to_end(allow, deny, admitted):
    proxy = _native.AllowListProxy(allow, deny)
    try:
        with socket.create_server(("127.0.0.1", 0)) as upstream:
            port = upstream.getsockname()[1]
            assert http_status(proxy, port) == ("200" if admitted else "403")
            assert socks_reply_code(proxy, port) == (0 if admitted else 2)
    finally:
        proxy.close()
