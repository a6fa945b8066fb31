"""available_backends(), default_fs_allowlist(), proxy_env_vars()."""

import shutil

import pytest

from ventra.sandbox import _native

NAMES = ["HTTPS_PROXY", "HTTP_PROXY", "https_proxy", "http_proxy", "ALL_PROXY", "all_proxy", "NO_PROXY", "no_proxy"]
NO_PROXY = "127.0.0.1,localhost"


def test_available_backends_reports_four_kinds_in_order():
    infos = _native.available_backends()
    assert [i.kind for i in infos] == ["bubblewrap", "userns", "sandbox-exec", "none"]
    assert [i.available for i in infos[:2]] == [False, False]
    assert infos[3].available is True
    if shutil.which("sandbox-exec") is None:
        assert infos[2].available is False
    again = _native.available_backends()
    assert again is not infos and all(a is not b for a, b in zip(again, infos))
    assert [(i.kind, i.available) for i in again] == [(i.kind, i.available) for i in infos]
    assert infos[0] != again[0]  # identity comparison only


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
    assert [k for k, _ in pairs] == NAMES
    assert all(type(p) is tuple and len(p) == 2 for p in pairs)
    assert [v for _, v in pairs] == ["http://h:1"] * 4 + [all_proxy] * 2 + [NO_PROXY] * 2


@pytest.mark.parametrize(
    "args,kwargs,message",
    [
        ((), {}, "proxy_env_vars() missing 1 required positional argument: 'http_url'"),
        ((1,), {}, "argument 'http_url': 'int' object cannot be converted to 'PyString'"),
        ((b"http://h",), {}, "argument 'http_url': 'bytes' object cannot be converted to 'PyString'"),
        (("a", 2), {}, "argument 'socks_url': 'int' object cannot be converted to 'PyString'"),
        (("a", "b", "c"), {}, "proxy_env_vars() takes from 1 to 2 positional arguments but 3 were given"),
        (("a",), {"http": "b"}, "proxy_env_vars() got an unexpected keyword argument 'http'"),
        (("a",), {"http_url": "b"}, "proxy_env_vars() got multiple values for argument 'http_url'"),
    ],
)
def test_proxy_env_vars_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as e:
        _native.proxy_env_vars(*args, **kwargs)
    assert str(e.value) == message


@pytest.mark.parametrize("fn", [_native.available_backends, _native.default_fs_allowlist])
def test_no_argument_functions_refuse_arguments(fn):
    with pytest.raises(TypeError):
        fn(1)
