"""AllowListProxy end to end through each protocol. Bad entries are test_cli.py's rows."""

import gc
import logging
import os
import shutil
import socket
import ssl
import subprocess
import sys
import threading
from http.server import SimpleHTTPRequestHandler, ThreadingHTTPServer

import pytest

from ventra.sandbox import _events, _native

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
LOOPBACK = ["127.0.0.0/8", "::1"]


@pytest.mark.parametrize(
    "allow,deny,host,admitted",
    [
        ([], [], "127.0.0.1", True),  # no allow list: anything not denied
        ([""], [], "127.0.0.1", False),  # an allow list with no entry admits nothing
        ([], ["127.0.0.0/8"], "127.0.0.1", False),
        # Unspecified destinations lead to this host's loopback (here, to the test's own
        # listener): refused past a loopback deny list, through the real resolver too.
        ([], LOOPBACK, "0.0.0.0", False),
        ([], LOOPBACK, "0", False),
        ([], LOOPBACK, "::ffff:0:0", False),
        (["0.0.0.0/0"], [], "0.0.0.0", False),
    ],
)
def test_each_protocol_admits_or_refuses_end_to_end(allow, deny, host, admitted):
    proxy = _native.AllowListProxy(allow, deny)  # dropped, so closed, on return
    with socket.create_server(("127.0.0.1", 0)) as upstream:
        port = upstream.getsockname()[1]
        target = f"[{host}]" if ":" in host else host
        http = reply(proxy.url, f"CONNECT {target}:{port} HTTP/1.1\r\nHost: x\r\n\r\n".encode())
        # Greeting, then CONNECT to the name, as socks5h sends it; the answer is the method
        # choice, then the reply with its code in the fourth byte.
        socks = reply(proxy.socks_url, b"\x05\x01\x00\x05\x01\x00\x03" + bytes([len(host)])
                      + host.encode() + port.to_bytes(2, "big"))
    assert (http[9:12], socks[3]) == ((b"200", 0) if admitted else (b"403", 2))


@pytest.mark.parametrize("value,error,message", [
    (0, ValueError, "max_connections must be at least 1"),
    ("2", TypeError, None),
])
def test_max_connections_must_be_a_positive_integer(value, error, message):
    with pytest.raises(error) as e:
        _native.AllowListProxy([], max_connections=value)
    assert message is None or str(e.value) == message


def test_max_connections_caps_each_proxy():
    proxy = _native.AllowListProxy([], max_connections=1)
    for url in (proxy.url, proxy.socks_url):
        port = int(url.rsplit(":", 1)[1])
        with socket.create_connection(("127.0.0.1", port), timeout=HANG_S) as idle:
            idle.sendall(b"\x05" if "socks" in url else b"CONNECT")  # half a head: held
            with socket.create_connection(("127.0.0.1", port), timeout=HANG_S) as over:
                assert over.recv(1) == b""  # closed at once, unanswered


def test_decisions_arrive_as_logging_records_naming_the_destination(caplog):
    proxy = _native.AllowListProxy(["example.org", "127.0.0.2"])
    with caplog.at_level(logging.DEBUG, logger="ventra.sandbox"), \
            socket.create_server(("127.0.0.2", 0)) as upstream:
        _events.flush()  # what earlier tests left; and the module builds DEBUG events now
        caplog.clear()
        admitted = f"127.0.0.2:{upstream.getsockname()[1]}"
        assert reply(proxy.url, f"CONNECT {admitted} HTTP/1.1\r\n\r\n".encode())[9:12] == b"200"
        assert reply(proxy.url, b"CONNECT 127.0.0.1:9 HTTP/1.1\r\n\r\n")[9:12] == b"403"
        assert reply(proxy.socks_url, b"\x05\x01\x00\x05\x01\x00\x01\x7f\x00\x00\x01\x00\x09")[3] == 2
        _events.flush()
    refused = [(r.levelno, r.getMessage(), r.destination, r.proxy, r.reason)
               for r in caplog.records if getattr(r, "refused", False)]
    assert refused == [
        (logging.WARNING, "refused 127.0.0.1:9 (not in the allow list)", "127.0.0.1:9", url,
         "not in the allow list")
        for url in (proxy.url, proxy.socks_url)
    ]
    assert any(r.levelno == logging.DEBUG and admitted in r.getMessage() for r in caplog.records)


def socks_connect(name: bytes, port: int) -> bytes:
    return b"\x05\x01\x00\x05\x01\x00\x03" + bytes([len(name)]) + name + port.to_bytes(2, "big")


# A name the child chose reaches the record as sent, and its line in a printable form. A
# name that cannot be resolved (a NUL stops it before any lookup) is a refusal too, though
# the HTTP client gets no answer.
@pytest.mark.parametrize("name,port,line,reason,answers", [
    (b"\x1b[2J\x07evil", 443, 'refused "\\u{1b}[2J\\u{7}evil":443 (not in the allow list)',
     "not in the allow list", (b"403", 2)),
    (b"a\x00.example.org", 443, 'refused "a\\0.example.org":443 (could not resolve)',
     "could not resolve", (b"", 1)),
])
def test_refusals_arrive_as_logging_records_naming_the_destination(caplog, name, port, line,
                                                                    reason, answers):
    proxy = _native.AllowListProxy(["*.example.org"])
    _events.flush()  # what earlier tests left
    caplog.clear()
    with caplog.at_level(logging.WARNING, logger="ventra.sandbox"):
        http = reply(proxy.url, b"CONNECT " + name + b":%d HTTP/1.1\r\n\r\n" % port)
        assert http[9:12] == answers[0]
        assert reply(proxy.socks_url, socks_connect(name, port))[3] == answers[1]
        # Over SOCKS5 a name may hold line breaks too: a line of its own would forge one.
        reply(proxy.socks_url, socks_connect(name + b"\r\nventra.sandbox: forged", port))
        _events.flush()
    refused = [(r.levelno, r.getMessage(), r.destination, r.proxy, r.reason)
               for r in caplog.records if getattr(r, "refused", False)]
    destination = name.decode() + ":" + str(port)
    assert refused[:2] == [(logging.WARNING, line, destination, url, reason)
                           for url in (proxy.url, proxy.socks_url)]
    assert len(refused) == 3 and "\r\nventra.sandbox: forged" in refused[2][2]
    assert not [c for r in refused for c in r[1] if ord(c) < 0x20 or ord(c) == 0x7f]


def test_an_entry_that_can_never_match_is_kept_with_a_warning_naming_it(caplog):
    _events.flush()  # what earlier tests left
    caplog.clear()
    with caplog.at_level(logging.WARNING, logger="ventra.sandbox"):
        proxy = _native.AllowListProxy([], ["example.org:443"])
        _events.flush()
    assert [r.getMessage() for r in caplog.records] == [
        'deny list: entry "example.org:443" can never match: it has a port; '
        "entries match every port"]
    proxy.close()


APT_HELPER = "/usr/lib/apt/apt-helper"


# The recipe for apt: plain http:// through the SOCKS URL, as its HTTP proxy; through the
# HTTP proxy's URL it gets the 405 of a CONNECT-only proxy.
@pytest.mark.skipif(not os.access(APT_HELPER, os.X_OK), reason="apt is not installed")
@pytest.mark.parametrize("via", ["socks_url", "url"])
def test_apt_fetches_plain_http_through_the_socks_url(web_server, tmp_path, via):
    proxy = _native.AllowListProxy(["127.0.0.1"])
    fetched = tmp_path / "fetched"
    done = subprocess.run(
        [APT_HELPER, "-o", f"Acquire::http::Proxy={getattr(proxy, via)}",
         "-o", "APT::Sandbox::User=root", "download-file",
         f"http://127.0.0.1:{web_server}/index.html", str(fetched)],
        capture_output=True, text=True, timeout=HANG_S)
    if via == "socks_url":
        assert done.returncode == 0, done.stdout + done.stderr
        assert fetched.read_text() == "reached the server\n"
    else:
        assert done.returncode != 0 and "405  Method Not Allowed" in done.stdout + done.stderr


@pytest.fixture
def https_index(tmp_path):
    """A loopback package index over HTTPS with one project, "demo" 1.0; (port, CA file)."""
    if shutil.which("openssl") is None:
        pytest.skip("openssl is not installed")
    cert, key = tmp_path / "cert.pem", tmp_path / "key.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                    "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                    "-keyout", str(key), "-out", str(cert)], check=True, capture_output=True,
                   timeout=HANG_S)
    page = tmp_path / "www" / "simple" / "demo"
    page.mkdir(parents=True)
    (page / "index.html").write_text('<a href="demo-1.0.tar.gz">demo-1.0.tar.gz</a>\n')
    handler = lambda *a: SimpleHTTPRequestHandler(*a, directory=str(tmp_path / "www"))
    server = ThreadingHTTPServer(("127.0.0.1", 0), handler)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    yield server.server_address[1], cert
    server.shutdown()
    server.server_close()


# The recipe for pip: an https:// index tunnels through the HTTP proxy with the variables
# as proxy_env_vars sets them.
def test_pip_reads_an_https_index_through_the_http_proxy(https_index, tmp_path):
    port, cert = https_index
    if subprocess.run([sys.executable, "-m", "pip", "--version"], capture_output=True).returncode:
        pytest.skip("pip is not installed")
    proxy = _native.AllowListProxy(["127.0.0.1"])
    # Only what the recipe sets: no proxy, CA or pip settings of the host's.
    env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()
           and not k.startswith(("PIP_", "SSL_", "REQUESTS_", "CURL_"))}
    env.update(_native.proxy_env_vars(proxy.url, proxy.socks_url))
    env.update(NO_PROXY="", no_proxy="", HOME=str(tmp_path), PIP_CONFIG_FILE=os.devnull)
    done = subprocess.run(
        [sys.executable, "-m", "pip", "index", "versions", "demo", "--disable-pip-version-check",
         "--index-url", f"https://127.0.0.1:{port}/simple/", "--cert", str(cert)],
        capture_output=True, text=True, timeout=120, env=env)
    assert done.returncode == 0 and "demo (1.0)" in done.stdout, done.stdout + done.stderr
