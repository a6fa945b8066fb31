#!/usr/bin/env bash
# Installs what the tests need, then runs every test: the C++ suites (plain, with the
# portable fallbacks forced, with AddressSanitizer + UndefinedBehaviorSanitizer, then the
# threaded suites with ThreadSanitizer), a macOS compile check of every core source, a
# short run of every fuzz target, and the Python suite against the abi3 wheel installed
# into a fresh virtual environment.
set -euo pipefail
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
command -v clang++-14 >/dev/null || need+=(clang-14)
compgen -G "/usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a" >/dev/null ||
  need+=(libclang-rt-14-dev)
if [ ${#need[@]} -gt 0 ]; then
  echo "== installing ${need[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${need[@]}" >/dev/null
fi

jobs=$(nproc)

echo "== C++ tests"
cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSANDBOX_WERROR=ON >/dev/null
cmake --build build/tests -j"$jobs"
ctest --test-dir build/tests --output-on-failure -j"$jobs"

echo "== C++ tests with the portable fallbacks forced (SANDBOX_PORTABLE_FALLBACKS=ON)"
# What macOS runs in place of pipe2, accept4, eventfd, pidfd, getrandom and the like, tested
# here; unoptimised and without sanitizers to keep it quick.
cmake -S . -B build/fallbacks -G Ninja -DSANDBOX_PORTABLE_FALLBACKS=ON -DSANDBOX_WERROR=ON >/dev/null
cmake --build build/fallbacks -j"$jobs"
ctest --test-dir build/fallbacks --output-on-failure -j"$jobs"

echo "== macOS compile check (every core source, zig c++ for aarch64-macos 11, warnings as errors)"
# Every .cc under src/sandbox_core, found afresh each run so new files are checked too.
# Deployment target 11.0, the first macOS on Apple silicon, makes any call newer than that
# an availability error; the warning set is the project's (cmake/warnings.cmake).
[ -x build/venv-zig/bin/python ] || python3 -m venv build/venv-zig
build/venv-zig/bin/python -m pip install -q 'ziglang<0.18'
mac_out=build/macos-check
rm -rf "$mac_out" && mkdir -p "$mac_out"
export MAC_OUT=$mac_out
export MAC_FLAGS="-target aarch64-macos.11.0 -std=c++20 -Isrc -Werror -Wall -Wextra -Wpedantic
  -Wshadow -Wnon-virtual-dtor -Wcast-align -Woverloaded-virtual -Wformat=2
  -Wimplicit-fallthrough -Wunguarded-availability -Wdeprecated-declarations"
find src/sandbox_core -name '*.cc' | sort >"$mac_out/sources"
[ -s "$mac_out/sources" ]
xargs -P"$jobs" -n1 bash -c \
  'build/venv-zig/bin/python -m ziglang c++ $MAC_FLAGS -c "$1" -o "$MAC_OUT/${1//\//_}.o"' _ \
  <"$mac_out/sources"
echo "$(wc -l <"$mac_out/sources") sources compile for aarch64-macos"

echo "== C++ tests under AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DSANDBOX_SANITIZE=address,undefined -DSANDBOX_WERROR=ON >/dev/null
cmake --build build/asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/asan --output-on-failure -j"$jobs"

echo "== C++ concurrency tests under ThreadSanitizer (supervision, resolver cache, proxies)"
# Only the suites that run threads are built; ctest skips the placeholders of the others.
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSANDBOX_SANITIZE=thread -DSANDBOX_WERROR=ON >/dev/null
cmake --build build/tsan -j"$jobs" --target test_launch test_netfilter test_proxy test_socks
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/scripts/tsan.supp" \
  ctest --test-dir build/tsan --output-on-failure -j"$jobs" -E '_NOT_BUILT$'

echo "== fuzz smoke (libFuzzer, AddressSanitizer + UndefinedBehaviorSanitizer)"
bash scripts/fuzz.sh 20

echo "== Python tests (abi3 wheel in a fresh virtual environment)"
rm -rf build/wheel build/venv
python3 -m pip wheel . --no-deps -w build/wheel -q
python3 -m venv build/venv
build/venv/bin/python -m pip install -q build/wheel/*.whl
build/venv/bin/python -m pip install -q pytest hypothesis mypy
SANDBOX_REQUIRE_INSTALLED=1 build/venv/bin/python -m pytest
