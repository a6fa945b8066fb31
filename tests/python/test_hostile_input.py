"""Random spec dictionaries, hostile objects among them, for spawn(): each ends in a success
or a designed exception (or the test's own HostileError), never a crash, a hang, SystemError
or a leaked child or temporary file. AllowListProxy's lists share the converters fuzzed here."""

import contextlib
import faulthandler
import os
import sys

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from ventra.sandbox import _native


class HostileError(Exception):
    """Raised by the test's own hostile objects."""


def children() -> set:
    """Processes (zombies included) whose parent is this process. Compared as "no new
    ones", so that a child of an earlier test ending meanwhile does not matter."""
    out = set()
    for entry in filter(str.isdigit, os.listdir("/proc")):
        with contextlib.suppress(OSError), open(f"/proc/{entry}/stat") as f:
            if int(f.read().rsplit(")", 1)[1].split()[1]) == os.getpid():
                out.add(int(entry))
    return out


@pytest.fixture
def guarded(tmp_path, monkeypatch):
    """A private TMPDIR, a hang watchdog, and no temporary file left at the end."""
    monkeypatch.setenv("TMPDIR", str(tmp_path))
    # A spawn() holds the interpreter lock, so a Python-level timeout could not fire.
    faulthandler.dump_traceback_later(240, exit=True)
    try:
        yield tmp_path
    finally:
        faulthandler.cancel_dump_traceback_later()
    assert [p.name for p in tmp_path.iterdir()] == []


# Any code point, lone surrogates and NUL included.
any_text = st.text(st.characters(), max_size=12) | st.sampled_from(
    ["\ud800", "a\udfffb", "x\x00y", "\x00", "", " ", "\u2028", "\U0010ffff", "é" * 40]
)


class Meta(type):
    """A metaclass whose __name__ / __module__ lookups misbehave, for error messages."""

    def __getattribute__(cls, name):
        if name in ("__name__", "__module__", "__qualname__"):
            raise HostileError(name)
        return super().__getattribute__(name)


class OddType(metaclass=Meta):
    pass


class RaisingSeq:
    """A sequence (it has __getitem__ and __len__) that raises part-way through."""

    def __init__(self, items, fail_at):
        self.items, self.fail_at = items, fail_at

    def __len__(self):
        return len(self.items) + 1

    def __getitem__(self, i):
        if i == self.fail_at:
            raise HostileError("item")
        return self.items[i]  # IndexError past the end


class RaisingIterList(list):
    def __iter__(self):
        raise HostileError("iter")


def text_like(base):
    return base | any_text.filter(
        lambda t: "\x00" in t or any(0xD800 <= ord(c) <= 0xDFFF for c in t))


def list_of(elem):
    return st.one_of(
        st.lists(elem, max_size=4),
        st.lists(elem, max_size=3).map(RaisingIterList),
        st.builds(RaisingSeq, st.lists(elem, max_size=3), st.integers(0, 3)),
        elem,  # a bare element: a str is refused as a list
    )


huge_ints = st.integers(-(2**130), 2**130) | st.sampled_from(
    [2**32, 2**32 - 1, 2**63, 2**64, 2**64 - 1, -1, sys.maxsize, -sys.maxsize - 1]
)
floats = st.floats(allow_nan=True, allow_infinity=True) | st.sampled_from([2.0**63, 1e300, -0.0])
wrong = st.one_of(
    st.none(), st.booleans(), huge_ints, floats, st.binary(max_size=8), st.just(OddType()),
    st.just(OddType), st.dictionaries(any_text, any_text, max_size=2), any_text,
)

# Texts that are harmless to start: every successful spawn runs `true` or `exit N`.
safe_command, safe_script = st.just("true"), st.sampled_from(["true", "exit 3", ""])
safe_dir = st.sampled_from(["", "/", "/tmp", "/nonexistent-ventra-dir"])
entry = any_text | st.sampled_from(
    ["127.0.0.1", "10.0.0.0/8", "*.example.com", "a*.com", "*.", "::1", "fe80::/200",
     "10.0.0.0/33", "example.com", "::ffff:1.2.3.4/120", " 10.0.0.0 /8"]
)


def texts(*values):
    return text_like(st.sampled_from(values)) | wrong


KEYS = {
    "script_type": texts("argv", "shell", "python", "Shell"),
    "argv": list_of(text_like(safe_command)) | wrong,
    "input": text_like(safe_script) | wrong,
    "python_interpreter": text_like(safe_command) | wrong,
    "env": st.dictionaries(text_like(any_text), text_like(any_text), max_size=3) | wrong,
    **dict.fromkeys(["host_work_dir", "working_dir"], text_like(safe_dir) | wrong),
    "timeout_s": floats | huge_ints | wrong,
    **dict.fromkeys(["cpu_milli", "memory_bytes", "gpu", "ephemeral_storage_bytes"], huge_ints | wrong),
    "network_mode": texts("blocked", "open", "allowlist"),
    **dict.fromkeys(["network_allowlist", "network_denylist"], list_of(text_like(entry)) | wrong),
    **dict.fromkeys(["extra_read_only_paths", "extra_read_write_paths"],
                    list_of(text_like(any_text)) | wrong),
    **dict.fromkeys(["capture_stdout", "capture_stderr", "stderr_to_stdout"], st.booleans() | wrong),
    # Only `true` and `exit N` run, which write nothing: any open descriptor will do.
    **dict.fromkeys(["stdout_fd", "stderr_fd"], st.sampled_from([1, 2, 10**6]) | huge_ints | wrong),
    "backend": texts("none", "bubblewrap", "sandbox-exec", "nonE"),
}


@st.composite
def spec_dicts(draw):
    base = {"script_type": "argv", "argv": ["true"], "backend": "none"}
    for key in draw(st.lists(st.sampled_from(sorted(KEYS)), unique=True, max_size=6)):
        base[key] = draw(KEYS[key])
    for key in draw(st.lists(st.sampled_from(sorted(base)), unique=True, max_size=2)):
        del base[key]
    if draw(st.booleans()):
        base[draw(any_text)] = draw(wrong)  # keys outside the table are ignored
    return base


class MutatingKey:
    """A key that collides with a spec key's hash and mutates the dict while compared."""

    def __init__(self, target, spec, action):
        self.target, self.spec, self.action, self.busy = target, spec, action, False

    def __hash__(self):
        return hash(self.target)

    def __eq__(self, other):
        if self.busy:  # our own dict calls below compare against this key again
            return False
        self.busy = True
        try:
            if self.action == "raise":
                raise HostileError("eq")
            if self.action == "clear":
                self.spec.clear()
            elif self.action == "delete":
                self.spec.pop(self.target, None)
            else:  # "grow": forces a resize in the middle of the lookup
                self.spec.update((f"filler{i}", i) for i in range(64))
        finally:
            self.busy = False
        return False


class LookupRefusingSpec(dict):
    """spawn must read a dict subclass through the dict protocol, not its methods."""

    def __getitem__(self, key):
        raise AssertionError("__getitem__ must not be consulted")

    def get(self, *a):
        raise AssertionError("get must not be consulted")


@settings(max_examples=500, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(spec=spec_dicts(), form=st.sampled_from(["dict", "subclass"]) | st.tuples(
    st.sampled_from(sorted(KEYS)), st.sampled_from(["clear", "grow", "delete", "raise"])))
def test_spawn_survives_hostile_spec_dicts(guarded, spec, form):
    if form == "subclass":
        spec = LookupRefusingSpec(spec)
    elif form != "dict":
        try:
            spec[MutatingKey(form[0], spec, form[1])] = ["true"]
        except HostileError:
            return  # "raise" fired while building the dict: nothing to test
    before = children()
    try:
        process = _native.spawn(spec)
    except RecursionError:
        raise  # a RuntimeError, but never a designed one
    except (TypeError, ValueError, OverflowError, RuntimeError, HostileError) as e:
        event(f"spawn raised {type(e).__name__}")
        assert children() <= before, "a failed spawn left a child behind"
        return
    event("spawn started a child")
    # Started: stop it at once and collect it; a collect must never fail.
    process.kill()
    assert isinstance(process.wait_and_collect()[0], int)
    assert children() <= before, "a collected child is still there"
