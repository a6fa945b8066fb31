"""spawn(spec_dict): reading order, the failure table, defaults, timeout conversion."""

import errno
import math
import os

import pytest

from ventra.sandbox import SpawnSpec, _native
from ventra.sandbox.spawn_spec import check_values

BASE = {"script_type": "shell", "input": "exit 0", "backend": "none"}

UNKNOWN = 'unknown sandbox backend {}; expected one of "bubblewrap", "userns", "sandbox-exec", or "none"'
NOT = "'{}' object cannot be converted to '{}'"
RANGE = "out of range integral type conversion attempted"
TOO_LARGE = "timeout_s is too large"
NEEDS_ALLOW = "network_mode='allowlist' requires network_allowlist=[...]"
ALLOW_ONLY = "network_allowlist is only valid with network_mode='allowlist'"
DENY_ONLY = "network_denylist is only valid with network_mode='open' or 'allowlist'"
ALLOWLIST = {"network_mode": "allowlist", "network_allowlist": ["x.org"]}


def spawn_error(overrides):
    spec = {k: v for k, v in {**BASE, **overrides}.items() if v is not KeyError}
    with pytest.raises(Exception) as e:
        _native.spawn(spec)
    return type(e.value), str(e.value)


FAILURES = [
    # One row per converter and per branch of it; the reading order is in the pairs.
    ({"input": None}, TypeError, NOT.format("NoneType", "PyString")),
    ({"env": []}, TypeError, NOT.format("list", "PyDict")),
    ({"env": {"A": 1}}, TypeError, NOT.format("int", "PyString")),
    ({"env": {b"A": "1"}}, TypeError, NOT.format("bytes", "PyString")),
    ({"network_allowlist": "example.org"}, TypeError, "Can't extract `str` to `Vec`"),
    ({"extra_read_only_paths": ["/a", None]}, TypeError, NOT.format("NoneType", "PyString")),
    # a lone surrogate has no UTF-8 form (the codec's error, a ValueError)
    ({"input": "\ud800"}, UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"),
    # the path lists are converted before the timeout...
    ({"extra_read_write_paths": {"/a": 1}, "timeout_s": math.inf}, TypeError, NOT.format("dict", "Sequence")),
    # ...which is converted before the booleans
    ({"timeout_s": math.inf, "capture_stdout": None}, OverflowError, TOO_LARGE),
    ({"capture_stdout": 1}, TypeError, NOT.format("int", "PyBool")),
    ({"timeout_s": "1"}, TypeError, "must be real number, not str"),
    ({"timeout_s": 2.0**63, "backend": "nope"}, OverflowError, TOO_LARGE),  # before the backend
    ({"timeout_s": 1e12}, OverflowError, TOO_LARGE),  # past the clock's range
    ({"cpu_milli": 1.5}, TypeError, "'float' object cannot be interpreted as an integer"),
    ({"cpu_milli": -1, "network_mode": "bogus"}, OverflowError, RANGE),  # integers first
    ({"gpu": 2**70}, OverflowError, "Python int too large to convert to C long"),
    ({"memory_bytes": -1}, OverflowError, "can't convert negative int to unsigned"),
    ({"max_processes": -1, "network_mode": "bogus"}, OverflowError, RANGE),
    ({"max_processes": 0, "network_mode": "bogus"}, ValueError, "max_processes must be at least 1"),
    ({"stderr_fd": 2**31}, OverflowError, RANGE),
    ({"max_output_bytes": 2**28 + 1}, ValueError, "max_output_bytes must be at most 268435456"),
    ({"max_output_bytes": 5, "output_tail": 1}, TypeError, NOT.format("int", "PyBool")),
    # values
    ({"script_type": 'a"b\\c\td\x01'}, ValueError, 'unknown script_type "a\\"b\\\\c\\td\\u{1}"'),
    ({"script_type": "argv"}, ValueError, 'missing required key "argv"'),
    ({"script_type": "argv", "argv": []}, ValueError, "argv must not be empty"),
    ({"input": KeyError}, ValueError, 'missing required key "input"'),
    # network keys, judged before the path lists and the timeout; the allow list first
    ({"network_mode": "allowlist", "network_denylist": ["x.org"]}, ValueError, NEEDS_ALLOW),
    ({"network_denylist": ["x.org"], "extra_read_only_paths": "x"}, ValueError, DENY_ONLY),
    ({"network_mode": "blocked", "network_allowlist": ["x"], "network_denylist": ["y"]}, ValueError, ALLOW_ONLY),
    ({"network_mode": "open", "network_allowlist": ["x.org"]}, ValueError, ALLOW_ONLY),
    ({"network_mode": "Open", "timeout_s": math.inf}, ValueError,
     "network_mode must be 'blocked', 'open', or 'allowlist'; got \"Open\""),
    ({**ALLOWLIST, "network_allowlist": ["a*.com"], "network_denylist": ["*"]}, ValueError,
     "network_allowlist: bad wildcard pattern: a*.com"),
    ({**ALLOWLIST, "network_denylist": ["*.*.COM"]}, ValueError, "network_denylist: bad wildcard pattern: *.*.com"),
    ({"network_mode": "open", "network_denylist": ["*."]}, ValueError, "network_denylist: bad wildcard pattern: *."),
    # a backend refusal, unprefixed (test_cli shows an unavailable one and the default)
    ({"backend": "Sandbox-Exec"}, RuntimeError, UNKNOWN.format('"Sandbox-Exec"')),
]


@pytest.mark.parametrize("overrides,exc,message", FAILURES)
def test_failure_table(overrides, exc, message):
    assert spawn_error(overrides) == (exc, message)


@pytest.mark.parametrize("key", ["stdout_fd", "stderr_fd", "stdin_fd"])
def test_forward_descriptor_must_be_open_and_a_failed_spawn_keeps_none(key):
    closed, spare = os.pipe()
    os.close(closed)
    before = sorted(os.listdir("/proc/self/fd"))
    assert spawn_error({key: closed}) == (
        ValueError, f"{key}: {os.strerror(errno.EBADF)} (os error {errno.EBADF})")
    # A valid descriptor is duplicated before the backend refuses: the copy is closed.
    assert spawn_error({key: spare, "backend": "no-such"})[0] is RuntimeError
    assert sorted(os.listdir("/proc/self/fd")) == before
    os.close(spare)


# What the child could reopen through /proc/self/fd/0 into more than it was (a terminal
# to push input into the caller's shell, a directory to walk the host): refused, naming
# the kind, and nothing is left open.
@pytest.mark.parametrize("opener,kind", [
    (lambda: os.openpty(), "terminal"), (lambda: os.open("/", os.O_RDONLY), "directory"),
    (lambda: os.open("/etc/hostname", os.O_PATH), "O_PATH descriptor"),
    (lambda: os.open("/dev/zero", os.O_RDONLY), "character device"),
    (lambda: os.eventfd(0), "anonymous inode (such as an eventfd)"),
], ids=["terminal", "directory", "O_PATH", "device", "eventfd"])
def test_stdin_fd_refuses_what_the_child_could_reopen(opener, kind):
    opened = opener()
    fds = opened if isinstance(opened, tuple) else (opened,)
    before = sorted(os.listdir("/proc/self/fd"))
    try:
        want = ("stdin_fd: a terminal is not passed to the child; pipe it through"
                if kind == "terminal" else f"stdin_fd: a{'n' if kind[0] in 'aeiouO' else ''} "
                f"{kind} is not passed to the child; pass a pipe, a socket or a regular file")
        assert spawn_error({"stdin_fd": fds[-1]}) == (ValueError, want)
        assert sorted(os.listdir("/proc/self/fd")) == before
    finally:
        for fd in fds:
            os.close(fd)


FULL_PYTHON_SPEC = {
    "script_type": "python", "argv": ["unused"], "input": "pass", "python_interpreter": "python3",
    "env": {}, "host_work_dir": "", "working_dir": "", "timeout_s": 1.0, "cpu_milli": 0,
    "memory_bytes": 0, "gpu": 0, "ephemeral_storage_bytes": 0, "max_processes": 1,
    "require_limits": False, "network_mode": "blocked",
    "network_allowlist": [], "network_denylist": [], "extra_read_only_paths": [],
    "extra_read_write_paths": [], "capture_stdout": True, "capture_stderr": True,
    "backend": "no-such-backend", "stdout_fd": 1, "stderr_fd": 2, "stderr_to_stdout": False,
    "max_output_bytes": 5, "output_tail": False,
    "stdin_fd": os.open(os.devnull, os.O_RDONLY),  # no terminal, however pytest runs
}


class RecordingKey:
    """A dict key equal to the str `name` that logs every lookup comparing against it."""

    def __init__(self, name, log):
        self.name, self.log = name, log

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        self.log.append(self.name)
        return other == self.name


def test_keys_are_read_in_the_designed_order():
    log = []
    with pytest.raises(RuntimeError, match="unknown sandbox backend"):
        _native.spawn({RecordingKey(k, log): v for k, v in FULL_PYTHON_SPEC.items()})
    assert log == [k for k in FULL_PYTHON_SPEC if k != "argv"]
    # The package's helpers refuse keys outside SpawnSpec: it must hold every key read.
    assert set(FULL_PYTHON_SPEC) == set(SpawnSpec.__annotations__)


NO_DEADLINE = "sleep 0.3; exit 4"  # a deadline taken as "now" would give 137
SECONDS = type("Seconds", (), {"__float__": lambda _: 1e9})()
NUMPY_FALSE = type("bool_", (), {"__module__": "numpy", "__bool__": lambda _: False})()
ACCEPTED = [
    # A misspelt key is ignored: the default 60 s applies, not a 10 ms deadline.
    ({"timeout": 0.01, "input": "echo ok"}, (0, b"ok\n", b"")),
    ({"script_type": "argv", "argv": ("printf", "%s-%s", "a", "b")}, (0, b"a-b", b"")),
    # host_work_dir wins over working_dir
    ({"input": "pwd -P", "working_dir": "/usr"}, (0, b"/usr\n", b"")),
    ({"input": "pwd -P", "working_dir": "/usr", "host_work_dir": "/etc"}, (0, b"/etc\n", b"")),
    *[({"input": NO_DEADLINE, "timeout_s": t}, 4) for t in (0, -5, math.nan)],
    *[({"input": "exit 5", "timeout_s": t}, 5) for t in (True, 10**9, SECONDS)],
    ({"network_mode": "open", "network_denylist": ["169.254.169.254"]}, 0),
    ({"network_mode": "allowlist", "network_allowlist": [""], "network_denylist": ["x.org"]}, 0),
    # numpy's boolean scalar is read through its bool conversion
    ({"input": "echo hidden", "capture_stdout": NUMPY_FALSE}, (0, b"", b"")),
]


@pytest.mark.parametrize("overrides,expected", ACCEPTED)
def test_accepted_specs_run_as_given(overrides, expected):
    class Spec(dict):
        pass

    check_values(Spec(BASE, **overrides))  # the package's helpers accept it too
    result = _native.spawn(Spec(BASE, **overrides)).wait_and_collect()
    assert (result if isinstance(expected, tuple) else result[0]) == expected


def test_empty_directories_default_to_the_temp_dir(sh, tmp_path, monkeypatch):
    monkeypatch.setenv("TMPDIR", str(tmp_path))
    out = sh("pwd -P", working_dir="", host_work_dir="").wait_and_collect()
    assert out == (0, f"{os.path.realpath(tmp_path)}\n".encode(), b"")
