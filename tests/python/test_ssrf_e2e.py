"""End to end through AllowListProxy with curl and the real resolver: names allowed by
pattern whose /etc/hosts answers are loopback (in any spelling) are refused by both
proxies, and a loopback upstream sees no request; an allow-list block does admit them.

The answers come from a private /etc/hosts, bind-mounted in a mount namespace of the
test's own (`unshare --mount`), so the machine's file is never touched. Every name the
proxies look up is in that file (exactly: a trailing dot would miss it and go on to
DNS), so no query leaves the host. Skipped where the namespace cannot be made (not root,
no unshare or curl)."""

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from ventra.sandbox import _native

HOSTS = """\
127.0.0.1 localhost
::1 localhost ip6-localhost
127.0.0.1 db.corp.test
::1 db6.corp.test
::ffff:127.0.0.1 mapped.corp.test
0.0.0.0 zero.corp.test
"""

INNER = r'''
import json, socket, subprocess, sys, threading
from http.server import BaseHTTPRequestHandler, HTTPServer
from ventra.sandbox import _native

hits = []

class Handler(BaseHTTPRequestHandler):
    def do_GET(self):
        hits.append(self.path)
        self.send_response(200)
        self.send_header("Content-Length", "7")
        self.end_headers()
        self.wfile.write(b"reached")

    def log_message(self, *args):
        pass

class Server6(HTTPServer):
    address_family = socket.AF_INET6

    def server_bind(self):
        self.socket.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
        super().server_bind()

# The same port on 127.0.0.1 and ::1, so a wrongly admitted answer of either family is seen.
for _ in range(50):
    v4 = HTTPServer(("127.0.0.1", 0), Handler)
    port = v4.server_address[1]
    try:
        v6 = Server6(("::1", port), Handler)
        break
    except OSError:
        v4.server_close()
for srv in (v4, v6):
    threading.Thread(target=srv.serve_forever, daemon=True).start()

def curl(proxy_args, host):
    out = subprocess.run(
        ["curl", "-s", "-o", "/dev/null", "--max-time", "20", "-w", "%{http_connect} %{http_code}",
         *proxy_args, f"http://{host}:{port}/{host}"], capture_output=True, text=True, timeout=60)
    return [out.returncode, out.stdout]

def through_both(allow, names):
    proxy = _native.AllowListProxy(allow)
    socks = "127.0.0.1:" + proxy.socks_url.rsplit(":", 1)[1]
    got = {name: {"http": curl(["--proxytunnel", "-x", proxy.url], name),
                  "socks": curl(["--socks5-hostname", socks], name)} for name in names}
    proxy.close()
    return got

result = {"refused": through_both(["*.corp.test", "localhost", "ip6-localhost"], sys.argv[1:])}
result["hits_while_refusing"] = list(hits)
result["admitted"] = through_both(["*.corp.test", "127.0.0.0/8", "::1"], ADMITTED)
result["hits"] = list(hits)
print(json.dumps(result))
'''

REFUSED_NAMES = ["db.corp.test", "DB.Corp.TEST", "db6.corp.test", "mapped.corp.test",
                 "zero.corp.test", "localhost", "ip6-localhost"]
ADMITTED = ["db.corp.test", "db6.corp.test"]


def namespace_available() -> bool:
    if os.geteuid() != 0 or not shutil.which("unshare") or not shutil.which("curl"):
        return False
    probe = subprocess.run(["unshare", "--mount", "true"], capture_output=True)
    return probe.returncode == 0


@pytest.mark.skipif(not namespace_available(), reason="needs root, unshare --mount and curl")
def test_allowed_names_resolving_to_loopback_never_reach_it(tmp_path: Path, package_env):
    hosts = tmp_path / "hosts"
    hosts.write_text(HOSTS)
    script = tmp_path / "inner.py"
    script.write_text(INNER.replace("ADMITTED", repr(ADMITTED)))
    env = {k: v for k, v in package_env.items() if not k.lower().endswith("_proxy")}
    shell = (
        'mount --make-rprivate / 2>/dev/null; mount --bind "$1" /etc/hosts || exit 90; '
        'shift; exec "$@"'
    )
    proc = subprocess.run(
        ["unshare", "--mount", "sh", "-c", shell, "sh", str(hosts), sys.executable, str(script),
         *REFUSED_NAMES],
        capture_output=True, text=True, timeout=600, env=env,
    )
    if proc.returncode == 90:
        pytest.skip("cannot bind-mount over /etc/hosts here: " + proc.stderr)
    assert proc.returncode == 0, proc.stderr
    result = json.loads(proc.stdout.strip().splitlines()[-1])

    for name in REFUSED_NAMES:
        got = result["refused"][name]
        # curl: the proxy answered the CONNECT with 403 and nothing came through.
        assert got["http"][1] == "403 000", (name, got)
        # curl exits 97 when the SOCKS5 proxy refuses (REP 2, "not allowed by ruleset").
        assert got["socks"][0] != 0 and got["socks"][1].endswith("000"), (name, got)
    assert result["hits_while_refusing"] == []

    # The control: an allow-list block admits loopback, and the upstream is reached.
    for name in ADMITTED:
        got = result["admitted"][name]
        assert got["http"] == [0, "200 200"], (name, got)
        assert got["socks"] == [0, "000 200"], (name, got)
    assert sorted(result["hits"]) == sorted([f"/{name}" for name in ADMITTED] * 2)
