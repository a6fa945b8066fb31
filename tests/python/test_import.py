"""Module frame: import, registration order, type shapes, sub-interpreters."""

import importlib
import inspect
import os
import sys
import weakref

import pytest

from ventra.sandbox import _native

EXPECTED_ALL = [
    "available_backends",
    "default_fs_allowlist",
    "proxy_env_vars",
    "spawn",
    "LocalProcess",
    "BackendInfo",
    "AllowListProxy",
]


def test_module_is_the_abi3_extension():
    assert _native.__name__ == "ventra.sandbox._native"
    assert _native.__file__.endswith(".abi3.so")
    # The wheel check (scripts/test.sh) sets this so the source tree can never stand in.
    if os.environ.get("SANDBOX_REQUIRE_INSTALLED"):
        assert "site-packages" in _native.__file__ or "dist-packages" in _native.__file__


def test_ventra_is_a_namespace_package():
    import ventra

    assert getattr(ventra, "__file__", None) is None


def test_all_lists_the_registrations_in_order():
    assert _native.__all__ == EXPECTED_ALL
    for name in EXPECTED_ALL:
        assert hasattr(_native, name)
    for name in EXPECTED_ALL[:4]:
        assert getattr(_native, name).__module__ == "ventra.sandbox._native"
        assert getattr(_native, name).__self__ is _native


def test_reimport_returns_the_identical_module():
    first = sys.modules.pop("ventra.sandbox._native")
    try:
        again = importlib.import_module("ventra.sandbox._native")
        assert again is first
    finally:
        sys.modules["ventra.sandbox._native"] = first


def test_second_subinterpreter_gets_import_error(fresh_python, tmp_path):
    out = tmp_path / "result"
    inner = (
        "try:\n"
        "    import ventra.sandbox._native\n"
        "    r = 'imported'\n"
        "except ImportError as e:\n"
        "    r = 'ImportError: ' + str(e)\n"
        f"open({str(out)!r}, 'w').write(r)\n"
    )
    result = fresh_python(
        f"""
        import ventra.sandbox._native
        try:
            import _testcapi
        except ImportError:
            raise SystemExit(42)
        _testcapi.run_in_subinterp({inner!r})
        """
    )
    if result.returncode == 42:
        pytest.skip("_testcapi not available")
    assert result.returncode == 0, result.stderr
    assert out.read_text().startswith("ImportError: ")
    assert "sub-interpreters" in out.read_text()


def test_internal_error_is_a_base_exception_outside_all():
    err = _native.InternalError
    assert issubclass(err, BaseException) and not issubclass(err, Exception)
    assert err.__module__ == "ventra.sandbox._native"
    assert "InternalError" not in _native.__all__
    assert _native.InternalError is err
    with pytest.raises(AttributeError, match="no attribute 'nonexistent'"):
        _native.nonexistent  # noqa: B018


@pytest.mark.parametrize("name", ["LocalProcess", "BackendInfo"])
def test_classes_without_constructor(name):
    with pytest.raises(TypeError) as e:
        getattr(_native, name)()
    assert str(e.value) == f"No constructor defined for {name}"


@pytest.mark.parametrize("name", ["LocalProcess", "BackendInfo", "AllowListProxy"])
def test_type_shape(name):
    cls = getattr(_native, name)
    assert cls.__module__ == "builtins"
    assert cls.__name__ == name
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (cls,), {})
    assert cls.__weakrefoffset__ == 0
    assert cls.__dictoffset__ == 0


def test_instances_are_read_only_without_dict_or_weakrefs():
    info = _native.available_backends()[0]
    with pytest.raises(AttributeError):
        info.kind = "x"
    with pytest.raises(AttributeError):
        info.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(info)


SIGNATURES = {
    "available_backends": "()",
    "default_fs_allowlist": "()",
    "proxy_env_vars": "(http_url, socks_url=None)",
    "spawn": "(spec_dict)",
    "AllowListProxy": "(allow, deny=Ellipsis)",
}


@pytest.mark.parametrize("name,signature", SIGNATURES.items())
def test_text_signatures(name, signature):
    assert str(inspect.signature(getattr(_native, name))) == signature


@pytest.mark.parametrize(
    "method", ["wait", "read_stdout", "read_stderr", "wait_and_collect", "kill", "pid"]
)
def test_local_process_methods_take_only_self(method):
    assert str(inspect.signature(getattr(_native.LocalProcess, method))) == "(self, /)"


def test_method_order_and_class_docstrings():
    methods = [m for m in vars(_native.LocalProcess) if not m.startswith("__")]
    assert methods == ["wait", "read_stdout", "read_stderr", "wait_and_collect", "kill", "pid", "backend"]
    assert [m for m in vars(_native.BackendInfo) if not m.startswith("__")] == ["kind", "available"]
    assert _native.LocalProcess.__doc__ == (
        "A spawned process. Mirrors a small subset of `subprocess.Popen`."
    )
    assert _native.BackendInfo.__doc__ == "Backend kind for `available_backends()` reporting."
    assert _native.AllowListProxy.close.__doc__ == (
        "Stop both proxies (idempotent). Also runs on drop."
    )


ALLOW_LIST_PROXY_DOC = (
    "Per-session egress proxies (HTTP CONNECT + SOCKS5) that enforce a network\n"
    "allow/deny filter.\n"
    "\n"
    "Construct one in the session, then inject the env from\n"
    "`proxy_env_vars(proxy.url, proxy.socks_url)` into the env passed to\n"
    "`spawn()`. HTTP(S) clients route through `url` (the HTTP CONNECT proxy);\n"
    "other TCP clients (git, ssh, db drivers) route through `socks_url` (the\n"
    "SOCKS5 proxy) via `ALL_PROXY`. Both enforce the same filter: `deny`\n"
    "entries are blocked first, then \u2014 if `allow` is non-empty \u2014 only `allow`\n"
    "entries are permitted. An empty `allow` means \"allow anything not denied\"\n"
    "(open egress with a deny-list). Only constrains clients that honour the\n"
    "proxy env vars. See `docs/network-allow-list.md` for the caveats."
)


def test_allow_list_proxy_docstring_byte_for_byte():
    assert _native.AllowListProxy.__doc__ == ALLOW_LIST_PROXY_DOC
    assert _native.AllowListProxy.__text_signature__ == "(allow, deny=...)"
