#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UndefinedBehaviorSanitizer) in
# build/fuzz and runs each for SECONDS (default 20) on a scratch copy of its seed corpus,
# so the committed corpus never grows. Fails on any crash, leak, time-out or sanitizer
# report; the reproducer is kept under build/fuzz/findings/<target>/.
#   scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-20}
shift || true
cxx=${FUZZ_CXX:-clang++-14}

cmake -S . -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSANDBOX_BUILD_FUZZ=ON -DSANDBOX_BUILD_TESTS=OFF -DSANDBOX_WERROR=ON >/dev/null
cmake --build build/fuzz -j"$(nproc)"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for source in fuzz/*_fuzz.cc; do
    name=$(basename "$source" .cc)
    targets+=("${name%_fuzz}")
  done
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failed=()
for name in "${targets[@]}"; do
  corpus=$scratch/$name
  findings=build/fuzz/findings/$name
  mkdir -p "$corpus" "$findings"
  if [ -d "fuzz/corpus/$name" ]; then cp -r "fuzz/corpus/$name/." "$corpus/"; fi
  echo "== fuzzing $name for ${seconds}s"
  if ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
     UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
     "build/fuzz/fuzz/${name}_fuzz" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=2560 \
       -artifact_prefix="$findings/" -print_final_stats=1 "$corpus" >"$scratch/$name.log" 2>&1; then
    grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$scratch/$name.log" || true
  else
    tail -n 80 "$scratch/$name.log"
    echo "== $name FAILED; reproducer in $findings/"
    failed+=("$name")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "== fuzz findings in: ${failed[*]}"
  exit 1
fi
echo "== fuzz: ${#targets[@]} targets clean"
