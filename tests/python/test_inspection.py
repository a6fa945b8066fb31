"""available_backends(), default_fs_allowlist(), proxy_env_vars()."""

import shutil

import pytest

from ventra.sandbox import _native


def test_available_backends_reports_four_fresh_kinds_in_order():
    infos = _native.available_backends()
    assert [i.kind for i in infos] == ["bubblewrap", "userns", "sandbox-exec", "none"]
    assert infos[3].available is True and infos[3].reason == ""
    if shutil.which("sandbox-exec") is None:
        assert (infos[2].available, infos[2].reason) == (False, "no sandbox-exec tool on PATH")
    assert all(i.summary for i in infos)
    assert all(bool(i.reason) != i.available for i in infos)
    again = _native.available_backends()
    assert all(a is not b for a, b in zip(again, infos))
    assert [(i.kind, i.available) for i in again] == [(i.kind, i.available) for i in infos]


def test_default_fs_allowlist_is_fixed_and_fresh():
    first = _native.default_fs_allowlist()
    assert list(first) == ["read_only", "read_write"]
    assert first == {
        "read_only": ["/usr", "/bin", "/sbin", "/lib", "/lib64", "/etc", "/proc", "/sys", "/dev"],
        "read_write": ["/tmp", "/dev/shm", "/dev/null", "/dev/zero", "/dev/full", "/dev/tty"],
    }
    first["read_only"].clear()
    assert len(_native.default_fs_allowlist()["read_only"]) == 9


@pytest.mark.parametrize(
    "args,kwargs,all_proxy",
    [
        (("http://h:1",), {}, "http://h:1"),
        (("http://h:1", None), {}, "http://h:1"),
        (("http://h:1",), {"socks_url": "socks5h://s:2"}, "socks5h://s:2"),
        ((), {"http_url": "http://h:1", "socks_url": ""}, ""),
    ],
)
def test_proxy_env_vars(args, kwargs, all_proxy):
    pairs = _native.proxy_env_vars(*args, **kwargs)
    assert all(type(p) is tuple and len(p) == 2 for p in pairs)
    assert pairs == list(zip(
        ["HTTPS_PROXY", "HTTP_PROXY", "https_proxy", "http_proxy", "ALL_PROXY", "all_proxy",
         "NO_PROXY", "no_proxy"],
        ["http://h:1"] * 4 + [all_proxy] * 2 + ["127.0.0.1,localhost"] * 2))
