"""Copy-on-write work directories over both Linux backends, for one-shot runs and for a
persistent sandbox's whole life: what the change list holds, that discard() (or closing
the sandbox) leaves the host as it was and apply() makes it what the child saw, and that
a hostile child's upper, a host that changed meanwhile and the scratch bound are handled.
Every write aims at the test's own directories."""

import asyncio
import contextlib
import hashlib
import os
import stat

import pytest

from ventra.sandbox import Sandbox, _native

INFO = {b.kind: b for b in _native.available_backends()}
ISOLATING = [pytest.param(name, marks=pytest.mark.skipif(
    not INFO[kind].available, reason=f"{name} unavailable here: {INFO[kind].reason}"))
    for name, kind in (("bubblewrap", "bubblewrap"), ("userns-lite", "userns"))]

# What the child sees of its work directory, one line per entry, sorted.
MANIFEST = r"""find . -mindepth 1 | sort | while read -r p; do
  if [ -L "$p" ]; then echo "$p L $(readlink "$p")"; elif [ -d "$p" ]; then echo "$p D";
  elif [ -f "$p" ]; then echo "$p F $(md5sum < "$p" | cut -c1-32)"; else echo "$p other"; fi
done"""

# Two commands' worth: a sandbox runs them as two execs, a one-shot run as one script.
EDITS = ("echo two >> a; rm b; rm -r d; echo F > d; mv keep kept",
         "mkdir n; echo z > n/z; ln -s /etc etc; mkdir e; rm -r e; mkdir e; echo y > e/y; "
         + MANIFEST)


def manifest(root):
    lines = []
    for top, dirs, files in os.walk(root):
        for name in sorted(dirs + files):
            path = os.path.join(top, name)
            rel = "./" + os.path.relpath(path, root)
            if os.path.islink(path):
                lines.append(f"{rel} L {os.readlink(path)}")
            elif os.path.isdir(path):
                lines.append(f"{rel} D")
            else:
                with open(path, "rb") as f:
                    lines.append(f"{rel} F {hashlib.md5(f.read()).hexdigest()}")
    return sorted(lines)


def exact(root):
    """Every entry with its bytes, mode, size and times: byte for byte."""
    out = {}
    for top, dirs, files in os.walk(root):
        for name in dirs + files:
            path = os.path.join(top, name)
            st = os.lstat(path)
            data = open(path, "rb").read() if stat.S_ISREG(st.st_mode) else None
            out[path] = (st.st_mode, st.st_size, st.st_mtime_ns, st.st_ino, data)
    return out


def make_work(tmp_path):
    work = tmp_path / "work"
    (work / "d").mkdir(parents=True)
    (work / "e").mkdir()
    for name, text in {"a": "one\n", "b": "b\n", "d/f": "x\n", "e/old": "o\n", "keep": "k\n"}.items():
        (work / name).write_text(text)
    return work


def spawn(backend, script, work, **keys):
    p = _native.spawn({"script_type": "shell", "input": script, "backend": backend,
                       "host_work_dir": str(work), "overlay": True, **keys})
    code, out, err = p.wait_and_collect()
    return p, code, out.decode(), err.decode()


@contextlib.contextmanager
def overlaid(via, backend, work, scripts, **keys):
    """Runs `scripts` in one one-shot run, or as execs of one sandbox that stays open in
    the body; yields the change set, the last one's (code, stdout, stderr) and the box."""
    if via == "spawn":
        p, code, out, err = spawn(backend, "; ".join(scripts), work, **keys)
        yield p.overlay, (code, out, err), None
        return
    with Sandbox({"backend": backend, "host_work_dir": str(work), "overlay": True,
                  **keys}) as box:
        for script in scripts:
            r = box.exec(script)
            assert r.changes is None  # the sandbox's one set holds them
        yield box.changes(), (r.exit_code, r.stdout.decode(), r.stderr.decode()), box


VIAS = ["spawn", "sandbox"]


@pytest.mark.parametrize("backend", ISOLATING)
@pytest.mark.parametrize("via", VIAS)
@pytest.mark.parametrize("decision", ["apply", "discard"])
def test_changes_are_listed_then_applied_or_discarded(backend, tmp_path, via, decision):
    work = make_work(tmp_path)
    before = exact(work)
    with overlaid(via, backend, work, EDITS) as (overlay, (code, out, err), box):
        assert code == 0, err
        assert exact(work) == before  # untouched while the caller decides
        changes = overlay.changes()
        if decision == "apply":
            report = overlay.apply()
            assert box is None or box.status == "closed"  # nothing writes after it
        elif box is None:
            overlay.discard()  # a sandbox's: dropped by its close without apply()
    assert {(a, path, kind) for a, path, kind, _, _ in changes} == {
        ("modified", "a", "file"), ("deleted", "b", "file"), ("deleted", "d", "directory"),
        ("added", "d", "file"), ("deleted", "keep", "file"), ("added", "kept", "file"),
        ("added", "n", "directory"), ("added", "n/z", "file"), ("added", "etc", "link"),
        ("deleted", "e/old", "file"), ("added", "e/y", "file")}
    assert ("modified", "a", "file", 8, 0o644) in changes
    if decision == "discard":
        assert exact(work) == before
    else:
        assert report == {"applied": len(changes), "conflicts": [], "failures": []}
        assert manifest(work) == out.splitlines()
    assert not overlay.pending
    with pytest.raises(RuntimeError, match="already applied or discarded"):
        overlay.changes()


@pytest.mark.parametrize("backend", ISOLATING)
@pytest.mark.parametrize("via", VIAS)
def test_a_hostile_childs_changes_do_no_harm(backend, tmp_path, via):
    work, outside = make_work(tmp_path), tmp_path / "outside"
    outside.mkdir()
    (work / "l").symlink_to(outside)
    scripts = ("rm l; mkdir l; echo evil > l/x; ln -s /etc/passwd pw; ln a hard; cp a su",
               "chmod 6755 su; mkfifo p; mknod dev c 1 3 2>/dev/null; ln -s ../../outside/y up")
    with overlaid(via, backend, work, scripts) as (overlay, _, box):
        report = overlay.apply()
    assert [path for path, _ in report["failures"]] == ["p"] and not report["conflicts"]
    assert os.listdir(outside) == []
    assert (work / "l").is_dir() and not (work / "l").is_symlink()
    assert os.readlink(work / "pw") == "/etc/passwd" and os.readlink(work / "up") == "../../outside/y"
    assert os.lstat(work / "su").st_mode & (stat.S_ISUID | stat.S_ISGID) == 0
    assert os.lstat(work / "hard").st_nlink == os.lstat(work / "a").st_nlink == 1
    assert not (work / "dev").exists() and not (work / "p").exists()
    assert not [n for n in os.listdir(work) if n.startswith(".ventra-apply")]


@pytest.mark.parametrize("backend", ISOLATING)
def test_a_path_the_host_changed_meanwhile_is_a_conflict(backend, tmp_path):
    work = make_work(tmp_path)
    p, code, _, err = spawn(backend, "echo run > a; rm -r d; echo run > keep", work)
    assert code == 0, err
    (work / "a").write_text("host\n")
    (work / "d" / "new").write_text("host\n")
    report = p.overlay.apply()
    assert sorted(path for path, _ in report["conflicts"]) == ["a", "d"]
    assert report["applied"] == 1 and not report["failures"]
    assert (work / "a").read_text() == "host\n" and (work / "d" / "new").read_text() == "host\n"
    assert (work / "keep").read_text() == "run\n"


@pytest.mark.parametrize("backend", ISOLATING)
@pytest.mark.parametrize("script", ["head -c 16777216 /dev/zero > big",
                                    "mkdir big; cd big; for i in $(seq 1 3000); do : > $i; done"],
                         ids=["bytes", "inodes"])
def test_the_upper_layer_holds_at_most_the_scratch_bound(backend, tmp_path, script):
    work = make_work(tmp_path)
    p, code, _, err = spawn(backend, script, work, ephemeral_storage_bytes=8 << 20)
    assert code != 0 and "No space left" in err
    assert not (work / "big").exists()
    p.overlay.discard()


@pytest.mark.parametrize("backend, keys, error, message", [
    ("none", {"host_work_dir": "{tmp}"}, RuntimeError,
     "overlay: the none backend cannot mount the work directory copy-on-write"),
    ("userns-lite", {}, ValueError, "overlay needs host_work_dir or working_dir")])
def test_overlay_is_refused_where_it_cannot_be_had(tmp_path, backend, keys, error, message):
    keys = {k: v.format(tmp=tmp_path) for k, v in keys.items()}
    with pytest.raises(error, match=message):
        _native.spawn({"script_type": "shell", "input": "echo hi > made", "backend": backend,
                       "overlay": True, **keys})
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("backend", ISOLATING)
def test_session_run_hands_the_changes_back_in_its_result(backend, tmp_path):
    from ventra.sandbox import Session

    work = make_work(tmp_path)
    with Session(backend=backend, overlay=True) as session:
        result = asyncio.run(session.run({"script_type": "shell", "input": "echo new > a",
                                          "host_work_dir": str(work)}))
    assert result.exit_code == 0 and [c[:2] for c in result.changes.changes()] == [("modified", "a")]
    assert result.changes.apply()["applied"] == 1 and (work / "a").read_text() == "new\n"
