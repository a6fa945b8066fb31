#!/usr/bin/env bash
# Installs what the tests need, then runs every phase, each timed, without stopping at a
# failure: the include order of the core's folders, the C++ suites (with the fuzz targets' seed corpora replayed), the same under
# AddressSanitizer + UndefinedBehaviorSanitizer with the portable fallbacks forced, the
# threaded suites under ThreadSanitizer, a macOS compile check of every core source, and
# the Python suite against the abi3 wheel installed into a fresh virtual environment, and
# the Ray tests against that wheel in a network namespace of their own (loopback only).
# Ends with one line per phase and "N passed, M failed"; exits non-zero if any failed.
# The timed libFuzzer runs are scripts/fuzz.sh.
set -uo pipefail
cd "$(dirname "$0")/.."

sudo=""
[ "$(id -u)" = 0 ] || sudo="sudo"
need=()
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
command -v curl >/dev/null || need+=(curl)
# The Linux backends' tests: bwrap, and a system Python that the sandbox's PATH finds.
command -v bwrap >/dev/null || need+=(bubblewrap)
[ -x /usr/bin/python3 ] || need+=(python3)
command -v ninja >/dev/null || need+=(ninja-build)
command -v cmake >/dev/null || need+=(cmake)
# The Ray tests: a network namespace with only loopback up, a venv of the system Python.
command -v ip >/dev/null || need+=(iproute2)
/usr/bin/python3 -c 'import ensurepip' 2>/dev/null || need+=(python3-venv)
if [ ${#need[@]} -gt 0 ]; then
  echo "== installing ${need[*]}"
  $sudo apt-get update -qq || exit 1
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${need[@]}" >/dev/null || exit 1
fi

jobs=$(nproc)
results=()
failures=0
started=$SECONDS

# phase NAME FUNCTION: runs FUNCTION, timing it and recording its outcome.
phase() {
  local name=$1 fn=$2 t0=$SECONDS status
  echo
  echo "== $name"
  "$fn"
  status=$?
  local line
  line=$(printf '%-4s %-52s %4d s' "$([ $status = 0 ] && echo ok || echo FAIL)" "$name" $((SECONDS - t0)))
  echo "== $line"
  results+=("$line")
  [ $status = 0 ] || failures=$((failures + 1))
}

# No include runs from a lower folder of the core to a higher one (the order is in the script).
layers() {
  python3 scripts/check_layers.py --graph
}

cxx_plain() {
  cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSANDBOX_WERROR=ON >/dev/null &&
    cmake --build build/tests -j"$jobs" &&
    ctest --test-dir build/tests --output-on-failure -j"$jobs"
}

# The fallbacks macOS uses (plain pipe + FD_CLOEXEC, a self-pipe, ...) are forced here, so
# one build tests them and the sanitizers together; the plain build tests the Linux calls.
cxx_asan() {
  cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSANDBOX_PORTABLE_FALLBACKS=ON \
    -DSANDBOX_SANITIZE=address,undefined -DSANDBOX_WERROR=ON >/dev/null &&
    cmake --build build/asan -j"$jobs" &&
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
      ctest --test-dir build/asan --output-on-failure -j"$jobs"
}

# Every suite, one per folder of tests/core as its CMakeLists makes them (no fuzz replays);
# ctest skips the placeholders of what is not built.
cxx_tsan() {
  local suites=() dir
  for dir in tests/core/*/; do
    compgen -G "$dir*.cc" >/dev/null && suites+=("test_$(basename "$dir")")
  done
  cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DSANDBOX_SANITIZE=thread -DSANDBOX_WERROR=ON >/dev/null &&
    cmake --build build/tsan -j"$jobs" --target "${suites[@]}" &&
    TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/scripts/tsan.supp" \
      ctest --test-dir build/tsan --output-on-failure -j"$jobs" -E '_NOT_BUILT$|^FuzzCorpus'
}

# Every .cc under src/sandbox_core, found afresh each run so new files are checked too.
# Deployment target 11.0, the first macOS on Apple silicon, makes any call newer than that
# an availability error; the warning set is the project's (cmake/warnings.cmake).
macos_check() {
  [ -x build/venv-zig/bin/python ] || python3 -m venv build/venv-zig || return 1
  build/venv-zig/bin/python -m pip install -q 'ziglang<0.18' || return 1
  local out=build/macos-check
  rm -rf "$out" && mkdir -p "$out"
  export MAC_OUT=$out
  export MAC_FLAGS="-target aarch64-macos.11.0 -std=c++20 -Isrc -Werror -Wall -Wextra -Wpedantic
    -Wshadow -Wnon-virtual-dtor -Wcast-align -Woverloaded-virtual -Wformat=2
    -Wimplicit-fallthrough -Wunguarded-availability -Wdeprecated-declarations"
  find src/sandbox_core -name '*.cc' | sort >"$out/sources"
  [ -s "$out/sources" ] || return 1
  xargs -P"$jobs" -n1 bash -c \
    'build/venv-zig/bin/python -m ziglang c++ $MAC_FLAGS -c "$1" -o "$MAC_OUT/${1//\//_}.o"' _ \
    <"$out/sources" || return 1
  echo "$(wc -l <"$out/sources") sources compile for aarch64-macos"
}

python_suite() {
  rm -rf build/wheel build/venv
  python3 -m pip wheel . --no-deps -w build/wheel -q &&
    python3 -m venv build/venv &&
    build/venv/bin/python -m pip install -q build/wheel/*.whl &&
    build/venv/bin/python -m pip install -q pytest hypothesis mypy &&
    SANDBOX_REQUIRE_INSTALLED=1 build/venv/bin/python -m pytest
}

# Ray binds the machine's interface address whatever it is told, so its tests run where
# loopback is the only interface: as root, then as uid 65534. The venv comes from the
# system Python, which uid 65534 can run; Ray's scratch directory is the tests' own.
ray_suite() {
  local venv=build/venv-ray ok=0 tmp
  [ -x $venv/bin/python ] || /usr/bin/python3 -m venv $venv || return 1
  $venv/bin/python -m pip install -q 'ray==2.60.0' pytest &&
    $venv/bin/python -m pip install -q --force-reinstall --no-deps build/wheel/*.whl || return 1
  local run="ip link set lo up && exec \"\$@\""
  local tests=($PWD/$venv/bin/python -m pytest -q -p no:cacheprovider tests/python/test_ray.py)
  if [ "$(id -u)" != 0 ]; then
    unshare -rn sh -c "$run" sh "${tests[@]}"
    return
  fi
  unshare -n sh -c "$run" sh "${tests[@]}" || ok=1
  # The unprivileged leg needs a tree that uid 65534 can read (not one below /root, say).
  if ! setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all \
      test -r "$PWD/tests/python/test_ray.py" -a -x "$PWD/$venv/bin/python"; then
    echo "uid 65534 cannot read $PWD: the Ray tests ran as root only"
    return $ok
  fi
  tmp=$(mktemp -d /tmp/ray65534.XXXXXX) && chmod 777 "$tmp" || return 1
  unshare -n sh -c "$run" sh setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all \
    env HOME="$tmp" "${tests[@]}" --basetemp="$tmp/pytest" || ok=1
  rm -rf "$tmp"
  return $ok
}

phase "Include order of the core's folders" layers
phase "C++ tests (and the fuzz seed corpora)" cxx_plain
phase "C++ tests, ASan + UBSan, portable fallbacks forced" cxx_asan
phase "C++ threaded tests under ThreadSanitizer" cxx_tsan
phase "macOS compile check (zig, aarch64-macos 11)" macos_check
phase "Python tests (abi3 wheel, fresh virtual environment)" python_suite
phase "Python tests on a local Ray cluster (loopback-only namespace)" ray_suite

echo
echo "== summary ($((SECONDS - started)) s)"
printf '%s\n' "${results[@]}"
echo "$(( ${#results[@]} - failures )) passed, $failures failed"
[ "$failures" = 0 ]
