"""spawn(spec_dict): reading order, the failure table, defaults, timeout conversion."""

import math
import os

import pytest

from ventra.sandbox import _native

BASE = {"script_type": "shell", "input": "exit 0", "backend": "none"}

NOT_AVAILABLE = (
    "sandbox backend {} is not available in this environment, and we refuse to downgrade "
    "to weaker isolation. bubblewrap needs CAP_SYS_ADMIN + an unconfined AppArmor profile on "
    "the pod (kestrix.PodTemplate.allow_nested_sandboxing()); userns needs unprivileged user "
    "namespaces. Pick a backend that this pod supports explicitly (e.g. backend=\"userns\"), "
    "or grant the missing capability."
)
UNKNOWN = 'unknown sandbox backend {}; expected one of "bubblewrap", "userns", "sandbox-exec", or "none"'


def spawn_error(overrides, base=BASE):
    spec = dict(base)
    for key, value in overrides.items():
        if value is KeyError:
            spec.pop(key, None)
        else:
            spec[key] = value
    with pytest.raises(Exception) as e:
        _native.spawn(spec)
    return type(e.value), str(e.value)


FAILURES = [
    # conversions of text, lists, dicts and booleans
    ({"input": None}, TypeError, "'NoneType' object cannot be converted to 'PyString'"),
    ({"script_type": 1}, TypeError, "'int' object cannot be converted to 'PyString'"),
    ({"env": []}, TypeError, "'list' object cannot be converted to 'PyDict'"),
    ({"env": {"A": 1}}, TypeError, "'int' object cannot be converted to 'PyString'"),
    ({"env": {b"A": "1"}}, TypeError, "'bytes' object cannot be converted to 'PyString'"),
    ({"host_work_dir": b"/tmp"}, TypeError, "'bytes' object cannot be converted to 'PyString'"),
    ({"network_allowlist": "example.org"}, TypeError, "Can't extract `str` to `Vec`"),
    ({"network_denylist": 5}, TypeError, "'int' object cannot be converted to 'Sequence'"),
    ({"extra_read_only_paths": ["/a", None]}, TypeError, "'NoneType' object cannot be converted to 'PyString'"),
    ({"extra_read_write_paths": {"/a": 1}}, TypeError, "'dict' object cannot be converted to 'Sequence'"),
    ({"capture_stdout": None}, TypeError, "'NoneType' object cannot be converted to 'PyBool'"),
    ({"capture_stderr": 1}, TypeError, "'int' object cannot be converted to 'PyBool'"),
    ({"backend": None}, TypeError, "'NoneType' object cannot be converted to 'PyString'"),
    # numbers
    ({"timeout_s": "1"}, TypeError, "must be real number, not str"),
    ({"cpu_milli": 1.5}, TypeError, "'float' object cannot be interpreted as an integer"),
    ({"cpu_milli": -1}, OverflowError, "out of range integral type conversion attempted"),
    ({"gpu": 2**32}, OverflowError, "out of range integral type conversion attempted"),
    ({"gpu": 2**70}, OverflowError, "Python int too large to convert to C long"),
    ({"memory_bytes": -1}, OverflowError, "can't convert negative int to unsigned"),
    ({"ephemeral_storage_bytes": 2**64}, OverflowError, "int too big to convert"),
    ({"timeout_s": 2.0**63}, OverflowError, "timeout_s is too large"),
    ({"timeout_s": math.inf}, OverflowError, "timeout_s is too large"),
    ({"timeout_s": 1e12}, OverflowError, "timeout_s is too large"),  # past the clock's range
    # values
    ({"script_type": "Shell"}, ValueError, 'unknown script_type "Shell"'),
    ({"script_type": 'a"b\\c\td\x01'}, ValueError, 'unknown script_type "a\\"b\\\\c\\td\\u{1}"'),
    ({"script_type": "argv"}, ValueError, 'missing required key "argv"'),
    ({"script_type": "argv", "argv": []}, ValueError, "argv must not be empty"),
    ({"input": KeyError}, ValueError, 'missing required key "input"'),
    ({"script_type": "python", "input": KeyError}, ValueError, 'missing required key "input"'),
    # network keys
    ({"network_mode": "allowlist"}, ValueError, "network_mode='allowlist' requires network_allowlist=[...]"),
    ({"network_mode": "allowlist", "network_denylist": ["x.org"]}, ValueError,
     "network_mode='allowlist' requires network_allowlist=[...]"),
    ({"network_allowlist": ["x.org"]}, ValueError, "network_allowlist is only valid with network_mode='allowlist'"),
    ({"network_denylist": ["x.org"]}, ValueError, "network_denylist is only valid with network_mode='open' or 'allowlist'"),
    ({"network_mode": "blocked", "network_allowlist": ["x"], "network_denylist": ["y"]}, ValueError,
     "network_allowlist is only valid with network_mode='allowlist'"),
    ({"network_mode": "open", "network_allowlist": ["x.org"]}, ValueError,
     "network_allowlist is only valid with network_mode='allowlist'"),
    ({"network_mode": "Open"}, ValueError, "network_mode must be 'blocked', 'open', or 'allowlist'; got \"Open\""),
    ({"network_mode": "allowlist", "network_allowlist": ["a*.com"], "network_denylist": ["*"]}, ValueError,
     "network_allowlist: bad wildcard pattern: a*.com"),
    ({"network_mode": "allowlist", "network_allowlist": ["x.org"], "network_denylist": ["*.*.COM"]}, ValueError,
     "network_denylist: bad wildcard pattern: *.*.com"),
    ({"network_mode": "open", "network_denylist": ["*."]}, ValueError, "network_denylist: bad wildcard pattern: *."),
    # backend refusals, unprefixed
    ({"backend": KeyError}, RuntimeError, NOT_AVAILABLE.format('"bubblewrap"')),
    ({"backend": "bwrap"}, RuntimeError, NOT_AVAILABLE.format('"bubblewrap"')),
    ({"backend": "userns"}, RuntimeError, NOT_AVAILABLE.format('"userns-lite"')),
    ({"backend": "Sandbox-Exec"}, RuntimeError, UNKNOWN.format('"Sandbox-Exec"')),
    ({"backend": ""}, RuntimeError, UNKNOWN.format('""')),
]


@pytest.mark.parametrize("overrides,exc,message", FAILURES)
def test_failure_table(overrides, exc, message):
    assert spawn_error(overrides) == (exc, message)


def test_sandbox_exec_refused_where_the_tool_is_missing():
    if _native.available_backends()[2].available:
        pytest.skip("sandbox-exec exists here")
    assert spawn_error({"backend": "sandbox-exec"}) == (RuntimeError, NOT_AVAILABLE.format('"sandbox-exec"'))


def test_launch_failure_is_prefixed(tmp_path):
    exc, message = spawn_error({"script_type": "argv", "argv": [str(tmp_path / "missing")]})
    assert exc is RuntimeError and message.startswith("spawn: ")


@pytest.mark.parametrize(
    "args,kwargs,message",
    [
        ((), {}, "spawn() missing 1 required positional argument: 'spec_dict'"),
        (({}, {}), {}, "spawn() takes 1 positional argument but 2 were given"),
        ((), {"spec": {}}, "spawn() got an unexpected keyword argument 'spec'"),
        (({},), {"spec_dict": {}}, "spawn() got multiple values for argument 'spec_dict'"),
        (([("input", "x")],), {}, "argument 'spec_dict': 'list' object cannot be converted to 'PyDict'"),
        ((), {"spec_dict": None}, "argument 'spec_dict': 'NoneType' object cannot be converted to 'PyDict'"),
    ],
)
def test_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as e:
        _native.spawn(*args, **kwargs)
    assert str(e.value) == message


FULL_PYTHON_SPEC = {
    "script_type": "python",
    "argv": ["unused"],
    "input": "pass",
    "python_interpreter": "python3",
    "env": {},
    "host_work_dir": "",
    "working_dir": "",
    "timeout_s": 1.0,
    "cpu_milli": 0,
    "memory_bytes": 0,
    "gpu": 0,
    "ephemeral_storage_bytes": 0,
    "network_mode": "blocked",
    "network_allowlist": [],
    "network_denylist": [],
    "extra_read_only_paths": [],
    "extra_read_write_paths": [],
    "capture_stdout": True,
    "capture_stderr": True,
    "backend": "no-such-backend",
}


def test_keys_are_read_in_the_designed_order(recording_spec):
    spec, log = recording_spec(FULL_PYTHON_SPEC)
    with pytest.raises(RuntimeError, match="unknown sandbox backend"):
        _native.spawn(spec)
    assert log == [k for k in FULL_PYTHON_SPEC if k != "argv"]


def test_unknown_script_type_stops_before_any_other_key(recording_spec):
    spec, log = recording_spec(dict(FULL_PYTHON_SPEC, script_type="Python"))
    with pytest.raises(ValueError, match='unknown script_type "Python"'):
        _native.spawn(spec)
    assert log == ["script_type"]


@pytest.mark.parametrize(
    "later_fault,expected",
    [
        # network validation and the path lists come before the timeout conversion...
        ({"network_mode": "bogus"}, ValueError),
        ({"extra_read_write_paths": "x"}, TypeError),
        # ...which comes before the booleans and the backend.
        ({"capture_stdout": None}, OverflowError),
        ({"backend": "nope"}, OverflowError),
    ],
)
def test_timeout_is_converted_late(later_fault, expected):
    exc, _ = spawn_error(dict(later_fault, timeout_s=math.inf))
    assert exc is expected


def test_integer_keys_are_read_before_network_keys():
    assert spawn_error({"cpu_milli": -1, "network_mode": "bogus"})[0] is OverflowError


def test_dict_subclass_and_ignored_keys(sh):
    class Spec(dict):
        pass

    proc = _native.spawn(Spec(BASE, timeout=0.01, input="echo ok"))
    # The misspelt key is ignored: the default 60 s applies, not a 10 ms deadline.
    assert proc.wait_and_collect() == (0, b"ok\n", b"")


@pytest.mark.parametrize("timeout", [0, 0.0, -5, math.nan, -math.inf])
def test_zero_negative_and_nan_timeouts_mean_no_deadline(sh, timeout):
    assert sh("sleep 0.3; exit 4", timeout_s=timeout).wait_and_collect()[0] == 4


@pytest.mark.parametrize("timeout", [True, 10**9, 1e9])
def test_accepted_timeout_values(sh, timeout):
    class Seconds:
        def __float__(self):
            return float(timeout)

    assert sh("exit 5", timeout_s=timeout).wait_and_collect()[0] == 5
    assert sh("exit 5", timeout_s=Seconds()).wait_and_collect()[0] == 5


def test_numpy_bool_is_accepted(sh):
    np = pytest.importorskip("numpy")
    proc = sh("echo hidden", capture_stdout=np.bool_(False))
    assert proc.wait_and_collect() == (0, b"", b"")


def test_environment_is_exactly_the_given_one(sh):
    out = sh("echo \"$FOO|$PATH\"", env={"FOO": "bar", "PATH": "/usr/bin:/bin"}).wait_and_collect()
    assert out == (0, b"bar|/usr/bin:/bin\n", b"")


@pytest.mark.parametrize(
    "keys,where",
    [
        ({"host_work_dir": "{a}"}, "{a}"),
        ({"working_dir": "{a}"}, "{a}"),
        ({"working_dir": "{a}", "host_work_dir": "{b}"}, "{b}"),
        ({"working_dir": "", "host_work_dir": ""}, "{tmp}"),
    ],
)
def test_working_directory(sh, tmp_path, monkeypatch, keys, where):
    a, b = tmp_path / "a", tmp_path / "b"
    a.mkdir()
    b.mkdir()
    monkeypatch.setenv("TMPDIR", str(tmp_path))
    names = {"a": a, "b": b, "tmp": tmp_path}
    keys = {k: v.format(**names) for k, v in keys.items()}
    code, out, _ = sh("pwd -P", **keys).wait_and_collect()
    assert (code, out.decode().strip()) == (0, os.path.realpath(where.format(**names)))


def test_argv_and_python_scripts():
    argv = _native.spawn({"script_type": "argv", "argv": ("printf", "%s-%s", "a", "b"), "backend": "none"})
    assert argv.wait_and_collect() == (0, b"a-b", b"")
    py = _native.spawn({"script_type": "python", "input": "import sys; sys.stdout.write('py')", "backend": "none"})
    assert py.wait_and_collect() == (0, b"py", b"")


@pytest.mark.parametrize(
    "network",
    [
        {"network_mode": "open"},
        {"network_mode": "open", "network_denylist": ["169.254.169.254"]},
        {"network_mode": "allowlist", "network_allowlist": ["*.example.org", "10.0.0.0/8"]},
        {"network_mode": "allowlist", "network_allowlist": [""], "network_denylist": ["x.org"]},
    ],
)
def test_valid_network_settings_launch(sh, network):
    assert sh("exit 0", **network).wait_and_collect()[0] == 0
