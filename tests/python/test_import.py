"""Module frame: import, registration order, type shapes, signatures, argument errors."""

import importlib
import inspect
import os
import sys
import weakref

import pytest

from ventra.sandbox import _native

EXPECTED_ALL = ["available_backends", "default_fs_allowlist", "proxy_env_vars", "spawn",
                "LocalProcess", "BackendInfo", "AllowListProxy"]


def test_module_is_the_abi3_extension_in_a_namespace_package():
    import ventra

    assert getattr(ventra, "__file__", None) is None
    assert _native.__name__ == "ventra.sandbox._native"
    assert _native.__file__.endswith(".abi3.so")
    # The wheel check (scripts/test.sh) sets this so the source tree can never stand in.
    if os.environ.get("SANDBOX_REQUIRE_INSTALLED"):
        assert "site-packages" in _native.__file__ or "dist-packages" in _native.__file__


def test_all_lists_the_registrations_in_order_and_reimport_is_identical():
    assert _native.__all__ == EXPECTED_ALL
    for name in EXPECTED_ALL[:4]:
        assert getattr(_native, name).__module__ == "ventra.sandbox._native"
        assert getattr(_native, name).__self__ is _native
    first = sys.modules.pop("ventra.sandbox._native")
    try:
        assert importlib.import_module("ventra.sandbox._native") is first
    finally:
        sys.modules["ventra.sandbox._native"] = first


def test_second_subinterpreter_gets_import_error(fresh_python, tmp_path):
    out = tmp_path / "result"
    inner = ("try:\n    import ventra.sandbox._native\n    r = 'imported'\n"
             "except ImportError as e:\n    r = 'ImportError: ' + str(e)\n"
             f"open({str(out)!r}, 'w').write(r)\n")
    result = fresh_python(f"import ventra.sandbox._native, _testcapi\n_testcapi.run_in_subinterp({inner!r})")
    if b"No module named '_testcapi'" in result.stderr:
        pytest.skip("_testcapi not available")
    assert result.returncode == 0, result.stderr
    assert out.read_text().startswith("ImportError: ") and "sub-interpreters" in out.read_text()


def test_internal_error_is_a_base_exception_outside_all():
    err = _native.InternalError
    assert issubclass(err, BaseException) and not issubclass(err, Exception)
    assert err.__module__ == "ventra.sandbox._native"
    assert "InternalError" not in _native.__all__


@pytest.mark.parametrize("name", ["LocalProcess", "BackendInfo", "AllowListProxy"])
def test_types_are_final_builtins_without_dict_or_weakrefs(name):
    cls = getattr(_native, name)
    assert (cls.__module__, cls.__name__) == ("builtins", name)
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (cls,), {})
    assert cls.__weakrefoffset__ == 0 and cls.__dictoffset__ == 0
    if name != "AllowListProxy":
        with pytest.raises(TypeError) as e:
            cls()
        assert str(e.value) == f"No constructor defined for {name}"


def test_instances_are_read_only_without_dict_or_weakrefs():
    info = _native.available_backends()[0]
    for name in ("kind", "extra"):
        pytest.raises(AttributeError, setattr, info, name, "x")
    pytest.raises(TypeError, weakref.ref, info)


SIGNATURES = {
    "available_backends": "()",
    "default_fs_allowlist": "()",
    "proxy_env_vars": "(http_url, socks_url=None)",
    "spawn": "(spec_dict)",
    "AllowListProxy": "(allow, deny=Ellipsis)",
    **{f"LocalProcess.{m}": "(self, /)"
       for m in ["wait", "read_stdout", "read_stderr", "wait_and_collect", "kill", "pid"]},
}


@pytest.mark.parametrize("name,signature", SIGNATURES.items())
def test_text_signatures(name, signature):
    obj = _native
    for part in name.split("."):
        obj = getattr(obj, part)
    assert str(inspect.signature(obj)) == signature


def test_method_order_and_class_docstrings():
    methods = [m for m in vars(_native.LocalProcess) if not m.startswith("__")]
    assert methods == ["wait", "read_stdout", "read_stderr", "wait_and_collect", "kill", "pid", "backend"]
    assert [m for m in vars(_native.BackendInfo) if not m.startswith("__")] == ["kind", "available", "summary", "reason"]
    assert _native.LocalProcess.__doc__ == (
        "A spawned process. Mirrors a small subset of `subprocess.Popen`."
    )
    assert _native.BackendInfo.__doc__ == "Backend kind for `available_backends()` reporting."
    assert _native.AllowListProxy.close.__doc__ == (
        "Stop both proxies (idempotent). Also runs on drop."
    )
    assert _native.AllowListProxy.__text_signature__ == "(allow, deny=...)"
    assert _native.AllowListProxy.__doc__ == (
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


PEV, SPAWN, ALP = "proxy_env_vars", "spawn", "AllowListProxy"
NOT_STR = "'{}' object cannot be converted to 'PyString'"


@pytest.mark.parametrize(
    "fn,args,kwargs,message",
    [
        (PEV, (), {}, "proxy_env_vars() missing 1 required positional argument: 'http_url'"),
        (PEV, (1,), {}, "argument 'http_url': " + NOT_STR.format("int")),
        (PEV, (b"http://h",), {}, "argument 'http_url': " + NOT_STR.format("bytes")),
        (PEV, ("a", 2), {}, "argument 'socks_url': " + NOT_STR.format("int")),
        (PEV, ("a", "b", "c"), {}, "proxy_env_vars() takes from 1 to 2 positional arguments but 3 were given"),
        (PEV, ("a",), {"http": "b"}, "proxy_env_vars() got an unexpected keyword argument 'http'"),
        (PEV, ("a",), {"http_url": "b"}, "proxy_env_vars() got multiple values for argument 'http_url'"),
        (SPAWN, (), {}, "spawn() missing 1 required positional argument: 'spec_dict'"),
        (SPAWN, ({}, {}), {}, "spawn() takes 1 positional argument but 2 were given"),
        (SPAWN, (), {"spec": {}}, "spawn() got an unexpected keyword argument 'spec'"),
        (SPAWN, ({},), {"spec_dict": {}}, "spawn() got multiple values for argument 'spec_dict'"),
        (SPAWN, ([("input", "x")],), {}, "argument 'spec_dict': 'list' object cannot be converted to 'PyDict'"),
        (SPAWN, (), {"spec_dict": None}, "argument 'spec_dict': 'NoneType' object cannot be converted to 'PyDict'"),
        (ALP, ("example.org",), {}, "argument 'allow': Can't extract `str` to `Vec`"),
        (ALP, ([],), {"deny": "x"}, "argument 'deny': Can't extract `str` to `Vec`"),
        (ALP, ([],), {"deny": None}, "argument 'deny': 'NoneType' object cannot be converted to 'Sequence'"),
        (ALP, ([1],), {}, "argument 'allow': " + NOT_STR.format("int")),
        (ALP, (), {}, "AllowListProxy() missing 1 required positional argument: 'allow'"),
        (ALP, ([], [], []), {}, "AllowListProxy() takes from 1 to 2 positional arguments but 3 were given"),
        ("available_backends", (1,), {}, None),
        ("default_fs_allowlist", (1,), {}, None),
    ],
)
def test_argument_errors(fn, args, kwargs, message):
    with pytest.raises(TypeError) as e:
        getattr(_native, fn)(*args, **kwargs)
    assert message is None or str(e.value) == message
