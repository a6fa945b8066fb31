"""The module frame and its inspection functions. Names, signatures and `__all__` are
checked against the stub by stubtest (test_typing.py)."""

import importlib
import importlib.util
import os
import sys

import shutil

import pytest

from ventra.sandbox import _native


def test_module_is_the_abi3_extension_in_a_namespace_package_and_reimports_identically():
    import ventra

    assert getattr(ventra, "__file__", None) is None
    assert _native.__file__.endswith(".abi3.so")
    # The wheel check (scripts/test.sh) sets this so the source tree can never stand in.
    if os.environ.get("SANDBOX_REQUIRE_INSTALLED"):
        assert "site-packages" in _native.__file__ or "dist-packages" in _native.__file__
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


def test_ray_module_imports_ray_only_when_used_and_names_what_is_missing(fresh_python):
    # Ray's sandbox interface blocked: a Ray release without it, or no Ray at all.
    result = fresh_python("""
        import sys
        sys.modules["ray.experimental.sandbox"] = None
        import ventra.sandbox.ray as vr
        assert "ray" not in sys.modules
        try:
            vr.create
        except ImportError as e:
            print(e)
    """)
    assert result.returncode == 0, result.stderr
    if importlib.util.find_spec("ray") is None:
        assert b'pip install "ventra-sandbox[ray]"' in result.stdout
    else:
        assert b"needs Ray's sandbox interface" in result.stdout
        assert b"this is Ray " in result.stdout and b"NodePool" in result.stdout


@pytest.mark.parametrize("name", ["LocalProcess", "BackendInfo", "AllowListProxy"])
def test_types_can_be_neither_subclassed_nor_made_bare(name):
    # A subclass or a bare instance would reach native slots that assume a built state.
    cls = getattr(_native, name)
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (cls,), {})
    if name != "AllowListProxy":
        with pytest.raises(TypeError, match=f"^No constructor defined for {name}$"):
            cls()


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


def test_inspection_results_are_fresh_and_a_reason_comes_only_with_unavailability():
    # The order and availability of the kinds are checked by test_cli's `backends` rows.
    infos = _native.available_backends()
    assert all(bool(i.reason) != i.available for i in infos)
    # The probe-free constants say what the rows say.
    assert _native.BACKEND_KINDS == tuple(i.kind for i in infos)
    for constant, fact in [("WAITS_FOR_SANDBOX", "waits_for_sandbox"), ("FENCED_BACKENDS", "fences")]:
        assert getattr(_native, constant) == {n for i in infos if getattr(i, fact) for n in i.names}
    assert any(_native.DEFAULT_BACKEND in i.names for i in infos)
    fs = _native.default_fs_allowlist()
    assert (list(fs), "/usr" in fs["read_only"], "/tmp" in fs["read_write"]) == (
        ["read_only", "read_write"], True, True)
    fs["read_only"].clear()  # a caller's copy: the next call is whole again
    assert "/usr" in _native.default_fs_allowlist()["read_only"]


@pytest.mark.skipif(shutil.which("bwrap") is None, reason="no bwrap here")
def test_a_backend_found_missing_is_looked_for_again(fresh_python):
    # A long-lived worker must not lose a backend for good to one failed probe.
    result = fresh_python("""
        import os
        saved = os.environ["PATH"]
        os.environ["PATH"] = "/nonexistent"
        from ventra.sandbox import _native
        row = lambda: next(i for i in _native.available_backends() if i.kind == "bubblewrap")
        print(row().reason)
        os.environ["PATH"] = saved
        print(row().available)
    """)
    here = next(i for i in _native.available_backends() if i.kind == "bubblewrap").available
    assert result.stdout.decode().splitlines() == ["no bwrap on PATH", str(here)], result.stderr


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
    assert _native.proxy_env_vars(*args, **kwargs) == list(zip(
        ["HTTPS_PROXY", "HTTP_PROXY", "https_proxy", "http_proxy", "ALL_PROXY", "all_proxy",
         "NO_PROXY", "no_proxy"],
        ["http://h:1"] * 4 + [all_proxy] * 2 + ["127.0.0.1,localhost"] * 2))
