#!/usr/bin/env bash
# Installs what the tests need, then runs every test: the C++ suites (plain, then with
# AddressSanitizer + UndefinedBehaviorSanitizer, then the threaded suites with
# ThreadSanitizer), a short run of every fuzz target, and the Python suite against the abi3
# wheel installed into a fresh virtual environment.
set -euo pipefail
cd "$(dirname "$0")/.."

sudo=""
[ "$(id -u)" = 0 ] || sudo="sudo"
need=()
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
command -v curl >/dev/null || need+=(curl)
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
