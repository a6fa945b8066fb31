"""AllowListProxy end to end through each protocol. Bad entries are test_cli.py's rows."""

import gc
import socket

import pytest

from ventra.sandbox import _native

HANG_S = 30  # generous bound that only catches hangs


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


def reply(url, request):
    """The first 12 bytes that the proxy listening at `url` answers to `request`."""
    with socket.create_connection(("127.0.0.1", int(url.rsplit(":", 1)[1])), timeout=HANG_S) as s:
        s.sendall(request)
        return s.makefile("rb").read(12)


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
    proxy = _native.AllowListProxy(allow, deny)  # dropped, so closed, on return
    with socket.create_server(("127.0.0.1", 0)) as upstream:
        port = upstream.getsockname()[1]
        http = reply(proxy.url, f"CONNECT 127.0.0.1:{port} HTTP/1.1\r\nHost: x\r\n\r\n".encode())
        # Greeting, then CONNECT to the name "127.0.0.1", as socks5h sends it; the answer
        # is the method choice, then the reply with its code in the fourth byte.
        socks = reply(proxy.socks_url,
                      b"\x05\x01\x00\x05\x01\x00\x03\x09127.0.0.1" + port.to_bytes(2, "big"))
    assert (http[9:12], socks[3]) == ((b"200", 0) if admitted else (b"403", 2))
