"""Hostile input from Python: random spec dictionaries for spawn() and random entry lists
for AllowListProxy().

Every call ends in a success or in one of the designed exceptions, never in a crash, a
hang, a leaked child or a leaked descriptor or file. Accepted exceptions:
  - TypeError, ValueError, OverflowError, RuntimeError: the module's error table.
    UnicodeEncodeError (a ValueError) is how a str holding a lone surrogate fails its
    UTF-8 conversion; it says exactly what is wrong and `except ValueError` catches it.
  - HostileError: raised by the test's own objects (a key's __eq__, a sequence's
    __getitem__, an __index__ or __float__); passing the caller's exception through
    unchanged is the right outcome.
Anything else (SystemError, the module's InternalError, MemoryError, KeyError, ...) is a
fault. Commands that can start are short (`true`), and whatever starts is killed and
collected at once."""

import faulthandler
import os
import sys
import time

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from ventra.sandbox import _native

DESIGNED = (TypeError, ValueError, OverflowError, RuntimeError)


class HostileError(Exception):
    """Raised by the test's own hostile objects."""


# --- process state -----------------------------------------------------------------


def children() -> set:
    """Processes (zombies included) whose parent is this process. Compared as "no new
    ones", so that a child of an earlier test ending meanwhile does not matter."""
    me = os.getpid()
    out = set()
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[1]) == me:
            out.add(int(entry))
    return out


def fd_count() -> int:
    return len(os.listdir("/proc/self/fd"))


def thread_count() -> int:
    return len(os.listdir("/proc/self/task"))


@pytest.fixture
def guarded(tmp_path, monkeypatch):
    """A private TMPDIR, a hang watchdog, and a check that nothing was left behind."""
    monkeypatch.setenv("TMPDIR", str(tmp_path))
    start_children = children()
    start_fds = fd_count()
    # A spawn() holds the interpreter lock, so a Python-level timeout could not fire.
    faulthandler.dump_traceback_later(240, exit=True)
    try:
        yield tmp_path
    finally:
        faulthandler.cancel_dump_traceback_later()
    assert children() <= start_children
    # Closed proxies release their listeners on their own (detached) accept threads.
    deadline = time.monotonic() + 30
    while fd_count() > start_fds and time.monotonic() < deadline:
        time.sleep(0.02)
    assert fd_count() <= start_fds
    assert [p.name for p in tmp_path.iterdir()] == []


# --- hostile values --------------------------------------------------------------

# Any code point, lone surrogates and NUL included.
any_text = st.text(st.characters(), max_size=12) | st.sampled_from(
    ["\ud800", "a\udfffb", "x\x00y", "\x00", "", " ", "\u2028", "\U0010ffff", "é" * 40]
)


class StrSub(str):
    """A str subclass with hostile dunders; the module must read it as plain text."""

    def __str__(self):
        raise HostileError("__str__")

    def __hash__(self):
        return str.__hash__(self)

    def __eq__(self, other):
        return str.__eq__(self, other)

    def encode(self, *a, **k):
        raise HostileError("encode")


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
        if i >= len(self.items):
            raise IndexError(i)
        return self.items[i]


class RaisingIterList(list):
    def __iter__(self):
        raise HostileError("iter")


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value

    def __float__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return float(self.value)


def text_like(base):
    return st.one_of(
        base,
        base.map(StrSub),
        any_text.filter(lambda t: "\x00" in t or any(0xD800 <= ord(c) <= 0xDFFF for c in t)),
    )


def list_of(elem):
    return st.one_of(
        st.lists(elem, max_size=4),
        st.lists(elem, max_size=4).map(tuple),
        st.lists(elem, max_size=3).map(RaisingIterList),
        st.builds(RaisingSeq, st.lists(elem, max_size=3), st.integers(0, 3)),
        elem,  # a bare element: a str is refused as a list
    )


huge_ints = st.integers(-(2**130), 2**130) | st.sampled_from(
    [2**32, 2**32 - 1, 2**63, 2**64, 2**64 - 1, -1, sys.maxsize, -sys.maxsize - 1]
)
floats = st.floats(allow_nan=True, allow_infinity=True) | st.sampled_from([2.0**63, 1e300, -0.0])
wrong = st.one_of(
    st.none(),
    st.booleans(),
    huge_ints,
    floats,
    st.binary(max_size=8),
    st.just(OddType()),
    st.just(OddType),
    st.builds(Index, huge_ints | st.just(HostileError("index"))),
    st.dictionaries(any_text, any_text, max_size=2),
    any_text,
)

# Texts that are harmless to start: every successful spawn runs `true` or `exit N`.
safe_command = st.sampled_from(["true"])
safe_script = st.sampled_from(["true", "exit 3", ""])
safe_dir = st.sampled_from(["", "/", "/tmp", "/nonexistent-ventra-dir"])
entry = any_text | st.sampled_from(
    ["127.0.0.1", "10.0.0.0/8", "*.example.com", "a*.com", "*.", "::1", "fe80::/200",
     "10.0.0.0/33", "example.com", "::ffff:1.2.3.4/120", " 10.0.0.0 /8"]
)

KEYS = {
    "script_type": text_like(st.sampled_from(["argv", "shell", "python", "Shell"])) | wrong,
    "argv": list_of(text_like(safe_command)) | wrong,
    "input": text_like(safe_script) | wrong,
    "python_interpreter": text_like(safe_command) | wrong,
    "env": st.dictionaries(text_like(any_text), text_like(any_text), max_size=3) | wrong,
    "host_work_dir": text_like(safe_dir) | wrong,
    "working_dir": text_like(safe_dir) | wrong,
    "timeout_s": floats | huge_ints | wrong,
    "cpu_milli": huge_ints | wrong,
    "memory_bytes": huge_ints | wrong,
    "gpu": huge_ints | wrong,
    "ephemeral_storage_bytes": huge_ints | wrong,
    "network_mode": text_like(st.sampled_from(["blocked", "open", "allowlist"])) | wrong,
    "network_allowlist": list_of(text_like(entry)) | wrong,
    "network_denylist": list_of(text_like(entry)) | wrong,
    "extra_read_only_paths": list_of(text_like(any_text)) | wrong,
    "extra_read_write_paths": list_of(text_like(any_text)) | wrong,
    "capture_stdout": st.booleans() | wrong,
    "capture_stderr": st.booleans() | wrong,
    "backend": text_like(st.sampled_from(["none", "bubblewrap", "sandbox-exec", "nonE"])) | wrong,
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
        self.target, self.spec, self.action = target, spec, action
        self.busy = False

    def __hash__(self):
        if self.action == "raise-hash":
            raise HostileError("hash")
        return hash(self.target)

    def __eq__(self, other):
        if self.busy:  # our own dict calls below compare against this key again
            return False
        self.busy = True
        try:
            self.mutate()
        finally:
            self.busy = False
        return False

    def mutate(self):
        if self.action == "clear":
            self.spec.clear()
        elif self.action == "grow":
            for i in range(64):  # forces a resize in the middle of the lookup
                self.spec[f"filler{i}"] = i
        elif self.action == "delete":
            self.spec.pop(self.target, None)
        elif self.action == "raise":
            raise HostileError("eq")


def run_spawn(spec):
    before = children()
    try:
        process = _native.spawn(spec)
    except RecursionError:
        raise  # a RuntimeError, but never a designed one
    except DESIGNED + (HostileError,) as e:
        event(f"spawn raised {type(e).__name__}")
        assert children() <= before, "a failed spawn left a child behind"
        return None
    event("spawn started a child")
    # Started: stop it at once and collect it; a collect must never fail.
    process.kill()
    code, _, _ = process.wait_and_collect()
    assert isinstance(code, int)
    assert children() <= before, "a collected child is still there"
    return code


SPAWN_SETTINGS = settings(
    max_examples=250,
    deadline=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow],
)


@SPAWN_SETTINGS
@given(spec=spec_dicts())
def test_spawn_survives_random_specs(guarded, spec):
    run_spawn(spec)


@SPAWN_SETTINGS
@given(
    spec=spec_dicts(),
    target=st.sampled_from(sorted(KEYS)),
    action=st.sampled_from(["clear", "grow", "delete", "raise", "raise-hash"]),
)
def test_spawn_survives_keys_that_mutate_the_dict(guarded, spec, target, action):
    try:
        spec[MutatingKey(target, spec, action)] = ["true"]
    except HostileError:
        return  # the hash raised while building the dict: nothing to test
    run_spawn(spec)


@settings(max_examples=60, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    spec=spec_dicts(),
    subclass_getitem=st.booleans(),
)
def test_spawn_reads_dict_subclasses_through_the_dict_protocol(guarded, spec, subclass_getitem):
    class Spec(dict):
        def __getitem__(self, key):
            raise HostileError("__getitem__ must not be consulted")

        def get(self, *a):
            raise HostileError("get must not be consulted")

    run_spawn(Spec(spec) if subclass_getitem else spec)


def test_a_plain_valid_spec_still_runs(guarded):
    # Anchors the properties above: the base dictionary itself is a success.
    p = _native.spawn({"script_type": "argv", "argv": ["true"], "backend": "none"})
    assert p.wait_and_collect() == (0, b"", b"")


def test_lone_surrogates_fail_as_value_errors(guarded):
    for spec in (
        {"script_type": "argv", "argv": ["tr\udcffue"], "backend": "none"},
        {"script_type": "shell", "input": "\ud800", "backend": "none"},
        {"script_type": "argv", "argv": ["true"], "backend": "none", "env": {"A": "\udfff"}},
    ):
        with pytest.raises(ValueError):
            _native.spawn(spec)


# --- AllowListProxy ----------------------------------------------------------------

proxy_lists = list_of(text_like(entry)) | wrong


def run_proxy(*args, **kwargs):
    try:
        proxy = _native.AllowListProxy(*args, **kwargs)
    except (TypeError, ValueError, HostileError):
        return False  # RuntimeError would mean a proxy failed to start: not expected here
    assert proxy.url.startswith("http://127.0.0.1:")
    assert proxy.socks_url.startswith("socks5h://127.0.0.1:")
    proxy.close()
    return True


@settings(max_examples=150, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(allow=proxy_lists, deny=proxy_lists | st.just(KeyError))
def test_allow_list_proxy_survives_random_lists(guarded, allow, deny):
    if deny is KeyError:
        run_proxy(allow)
    else:
        run_proxy(allow, deny=deny)


def test_proxy_threads_end_after_hostile_lists(guarded):
    before = thread_count()
    for entries in (["\x00"], ["a\x00b.example"], [StrSub("127.0.0.1")], ["\udcff"], ["*." * 200]):
        try:
            _native.AllowListProxy(entries, entries).close()
        except ValueError:
            pass
    deadline = time.monotonic() + 30
    while thread_count() > before and time.monotonic() < deadline:
        time.sleep(0.02)
    assert thread_count() <= before
