"""AllowListProxy: construction errors, URLs, close() and deallocation."""

import gc
import re
import socket

import pytest

from ventra.sandbox import _native


def port_of(url):
    return int(url.rsplit(":", 1)[1])


@pytest.mark.parametrize(
    "allow,deny,message",
    [
        (["a*.com"], ["*.*.com"], "allow-list parse: bad wildcard pattern: a*.com"),
        (["example.org"], ["A*.COM"], "deny-list parse: bad wildcard pattern: a*.com"),
        ([], ["*"], "deny-list parse: bad wildcard pattern: *"),
    ],
)
def test_bad_entries_are_value_errors_allow_first(allow, deny, message):
    with pytest.raises(ValueError) as e:
        _native.AllowListProxy(allow, deny=deny)
    assert str(e.value) == message


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


def test_blank_allow_entry_refuses_everything():
    proxy = _native.AllowListProxy([""])
    try:
        with socket.create_connection(("127.0.0.1", port_of(proxy.url)), timeout=10) as s:
            s.sendall(b"CONNECT 127.0.0.1:9 HTTP/1.1\r\nHost: 127.0.0.1:9\r\n\r\n")
            assert s.recv(64).startswith(b"HTTP/1.1 403")
    finally:
        proxy.close()
