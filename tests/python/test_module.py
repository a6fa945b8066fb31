"""The module frame (import, type shapes, argument errors) and the inspection functions
available_backends(), default_fs_allowlist() and proxy_env_vars(). Names, signatures and
`__all__` are checked against the stub by stubtest (test_typing.py)."""

import importlib
import os
import shutil
import sys
import weakref

import pytest

from ventra.sandbox import _native


def test_module_is_the_abi3_extension_in_a_namespace_package_and_reimports_identically():
    import ventra

    assert getattr(ventra, "__file__", None) is None
    assert _native.__name__ == "ventra.sandbox._native"
    assert _native.__file__.endswith(".abi3.so")
    # The wheel check (scripts/test.sh) sets this so the source tree can never stand in.
    if os.environ.get("SANDBOX_REQUIRE_INSTALLED"):
        assert "site-packages" in _native.__file__ or "dist-packages" in _native.__file__
    assert _native.spawn.__self__ is _native and _native.spawn.__module__ == _native.__name__
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


# One row per branch of the shared argument parser and per converter behind an argument.
PEV, SPAWN, ALP = "proxy_env_vars", "spawn", "AllowListProxy"


@pytest.mark.parametrize(
    "fn,args,kwargs,message",
    [
        (PEV, (), {}, "proxy_env_vars() missing 1 required positional argument: 'http_url'"),
        (PEV, ("a", 2), {}, "argument 'socks_url': 'int' object cannot be converted to 'PyString'"),
        (PEV, ("a", "b", "c"), {}, "proxy_env_vars() takes from 1 to 2 positional arguments but 3 were given"),
        (SPAWN, ({}, {}), {}, "spawn() takes 1 positional argument but 2 were given"),
        (SPAWN, (), {"spec": {}}, "spawn() got an unexpected keyword argument 'spec'"),
        (SPAWN, ({},), {"spec_dict": {}}, "spawn() got multiple values for argument 'spec_dict'"),
        (SPAWN, (), {"spec_dict": None}, "argument 'spec_dict': 'NoneType' object cannot be converted to 'PyDict'"),
        (ALP, ("example.org",), {}, "argument 'allow': Can't extract `str` to `Vec`"),
        (ALP, ([],), {"deny": None}, "argument 'deny': 'NoneType' object cannot be converted to 'Sequence'"),
        ("available_backends", (1,), {}, None),
    ],
)
def test_argument_errors(fn, args, kwargs, message):
    with pytest.raises(TypeError) as e:
        getattr(_native, fn)(*args, **kwargs)
    assert message is None or str(e.value) == message


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
