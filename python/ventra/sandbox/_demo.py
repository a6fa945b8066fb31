"""``python -m ventra.sandbox demo``: a tour of the egress proxy that needs no network.

Everything stays on 127.0.0.1: a tiny HTTP server, an AllowListProxy that allows it by
address, and a child that asks the proxy for the server and for refused destinations.
Refused destinations are judged before any connection or lookup is made.
"""

from __future__ import annotations

import asyncio
import json
import sys
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Dict, List

from . import _native
from ._backends import backend_row
from .aio import run

# The child speaks CONNECT itself (standard library only): urllib sends plain-http URLs
# as absolute-URI GETs, which the proxy refuses with 405, and it honours NO_PROXY, which
# exempts 127.0.0.1 from the proxy altogether.
def _pick_backend() -> "tuple[str, str, bool]":
    """The default backend where it runs here, else the first isolating one that does,
    else "none"; the child's Python under it; and whether it isolates. The host's own
    interpreter may be outside an isolating sandbox's file system, so the child runs the
    one on its PATH there."""
    default = backend_row(None)
    rows = [default] if default is not None else []
    rows += [b for b in _native.available_backends() if b.isolates]
    for row in rows:
        if row.available:
            return row.names[0], "python3", True
    return "none", sys.executable, False


_CHILD = r"""
import json, os, socket, sys
from urllib.parse import urlsplit

proxy = urlsplit(os.environ["HTTPS_PROXY"])

def ask(host, port, path):
    with socket.create_connection((proxy.hostname, proxy.port), timeout=10) as s:
        s.sendall(f"CONNECT {host}:{port} HTTP/1.1\r\nHost: {host}:{port}\r\n\r\n".encode())
        f = s.makefile("rb")
        status = f.readline().decode("latin-1").strip()
        while f.readline() not in (b"\r\n", b"\n", b""):
            pass
        if status.split(" ")[1:2] != ["200"]:
            return {"host": host, "port": port, "tunnel": status, "body": f.read().decode()}
        s.sendall(f"GET {path} HTTP/1.0\r\nHost: {host}\r\n\r\n".encode())
        reply = f.read().decode("latin-1")
        head, _, body = reply.partition("\r\n\r\n")
        return {"host": host, "port": port, "tunnel": status, "path": path,
                "status": head.splitlines()[0] if head else "", "body": body}

for host, port, path in json.loads(os.environ["DEMO_PLAN"]):
    try:
        print(json.dumps(ask(host, port, path)), flush=True)
    except OSError as exc:
        print(json.dumps({"host": host, "port": port, "error": str(exc)}), flush=True)
"""


class _Handler(BaseHTTPRequestHandler):
    seen: List[str] = []

    def do_GET(self) -> None:  # noqa: N802 (http.server's naming)
        self.seen.append(self.path)
        body = f"hello from the allowed server, you asked for {self.path}\n".encode()
        self.send_response(200)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002
        pass


def _say(text: str = "") -> None:
    print(text, flush=True)


def _describe(outcome: Dict[str, Any]) -> str:
    where = f"{outcome['host']}:{outcome['port']}"
    if "error" in outcome:
        return f"{where}: the proxy closed the connection ({outcome['error']})"
    if outcome.get("status"):
        body = outcome["body"].strip()
        return (
            f"{where} GET {outcome['path']}: allowed; the proxy opened a tunnel and the "
            f"server answered {outcome['status'].split(' ', 1)[1]!s}: {body!r}"
        )
    return f"{where}: refused by the proxy ({outcome['tunnel']}): {outcome['body'].strip()!r}"


def main() -> int:
    _Handler.seen = []
    server = ThreadingHTTPServer(("127.0.0.1", 0), _Handler)
    threading.Thread(target=server.serve_forever, name="demo-http", daemon=True).start()
    port = server.server_address[1]
    proxy = _native.AllowListProxy(["127.0.0.1"], deny=["169.254.169.254"])
    try:
        _say("ventra.sandbox demo: everything below stays on 127.0.0.1; no network is needed.")
        _say()
        _say(f"1. Started a local HTTP server at http://127.0.0.1:{port}/")
        _say("2. Started an AllowListProxy with allow=['127.0.0.1'] and "
             "deny=['169.254.169.254'] (the cloud metadata address):")
        _say(f"     HTTP CONNECT proxy: {proxy.url}")
        _say(f"     SOCKS5 proxy:       {proxy.socks_url}")
        _say("   127.0.0.1 is an internal address, so it is reachable only because an "
             "address entry allows it.")

        env: Dict[str, str] = {}
        pairs = _native.proxy_env_vars(proxy.url, proxy.socks_url)
        for key, value in pairs:
            env.setdefault(key, value)
        _say(f"3. Put {len(pairs)} proxy variables into the child's (otherwise empty) "
             f"environment: {', '.join(k for k, _ in pairs)}")

        plan = [
            ["127.0.0.1", port, "/hello"],
            ["127.0.0.1", port, "/again"],
            ["example.com", 443, "/"],
            ["169.254.169.254", 80, "/"],
        ]
        env["DEMO_PLAN"] = json.dumps(plan)
        backend, interpreter, isolates = _pick_backend()
        _say()
        if not isolates:
            _say('WARNING: no isolating backend runs here, so the child runs with backend '
                 '"none", which does NOT isolate it: it sees your files with your permissions '
                 "and could ignore the proxy. `python -m ventra.sandbox backends` says what "
                 "is missing; use an isolating backend for untrusted code.")
        else:
            _say(f'The child runs with backend "{backend}": its own root, processes and '
                 "network; under the allow list the proxy is its only way out.")
        _say()
        _say(f'4. Ran a child (backend "{backend}") that asks the proxy for four destinations:')
        result = asyncio.run(
            run(
                {
                    "script_type": "python",
                    "input": _CHILD,
                    "python_interpreter": interpreter,
                    "env": env,
                    "timeout_s": 30,
                    "network_mode": "allowlist",
                    "network_allowlist": ["127.0.0.1"],
                    "network_denylist": ["169.254.169.254"],
                    "backend": backend,
                }
            )
        )
        outcomes = []
        for line in result.stdout.decode(errors="replace").splitlines():
            try:
                outcomes.append(json.loads(line))
            except ValueError:
                _say(f"   (child printed: {line})")
        for outcome in outcomes:
            _say(f"   - {_describe(outcome)}")
        if result.stderr:
            _say("   child's standard error:")
            for line in result.stderr.decode(errors="replace").splitlines():
                _say(f"     {line}")
        _say(f"5. The child exited with code {result.exit_code}; the server saw "
             f"{len(_Handler.seen)} request(s): {', '.join(_Handler.seen) or 'none'}.")
        _say()

        allowed = [o for o in outcomes if o.get("status", "").split(" ")[1:2] == ["200"]]
        refused = [o for o in outcomes if o.get("tunnel", "").startswith("HTTP/1.1 403")]
        ok = (
            result.exit_code == 0
            and len(allowed) == 2
            and len(refused) == 2
            and sorted(_Handler.seen) == ["/again", "/hello"]
        )
        if ok:
            _say("Outcome: as expected. The allowed server was reached through the proxy "
                 "twice; the name outside the allow list and the deny-listed address got "
                 "the proxy's 403 without any connection being made.")
            return 0
        _say("Outcome: NOT as expected; see the steps above.")
        return 1
    finally:
        proxy.close()
        server.shutdown()
        server.server_close()
