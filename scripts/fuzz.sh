#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer and UndefinedBehaviorSanitizer) in
# build-fuzz and runs one or all of them for a given time each, on a working copy of their seeds.
#
#     scripts/fuzz.sh [TARGET|all] [SECONDS]      (default: all, 60 seconds each)
#
# Findings (crash-*, leak-*, timeout-*) are left in build-fuzz/findings/TARGET/; a fixed one goes
# into fuzz/corpus/TARGET/ as a regression input.
set -euo pipefail
cd "$(dirname "$0")/.."
which=${1:-all}
seconds=${2:-60}
scripts/install-deps.sh
command -v clang++ >/dev/null || apt-get install -y --no-install-recommends clang libclang-rt-14-dev
. scripts/env.sh
build=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUILLET_SANITIZE=address,undefined,fuzzer-no-link -DQUILLET_FUZZ=ON -DBUILD_TESTING=OFF -DQUILLET_BENCH=OFF >/dev/null
targets=()
for source in fuzz/fuzz_*.cpp; do
  name=$(basename "$source" .cpp)
  [ "$which" = all ] || [ "$which" = "$name" ] && targets+=("$name")
done
[ ${#targets[@]} -gt 0 ] || { echo "no fuzz target $which" >&2; exit 2; }
# The build runs its own tools (the resource drawer) under the sanitizers; their exit-time leaks
# are not what is looked for here.
ASAN_OPTIONS=detect_leaks=0 cmake --build "$build" -j"$(nproc)" --target "${targets[@]}" quillet-tool

export ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1"
export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
status=0
for name in "${targets[@]}"; do
  work="$build/corpus/$name"
  findings="$build/findings/$name"
  mkdir -p "$work" "$findings"
  [ -d "fuzz/corpus/$name" ] && cp -n fuzz/corpus/"$name"/* "$work"/ 2>/dev/null || true
  if [ "$name" = fuzz_picture ]; then
    # Pictures are drawn, not kept: a stamp of the demo catalogue as PNG.
    "$build/bin/quillet-tool" demo-catalogue "$build/pictures" 1 >/dev/null
    cp -n "$build/pictures/"*.png "$work"/ 2>/dev/null || true
  fi
  echo "== $name, $seconds s"
  "$build/bin/$name" "$work" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
    -artifact_prefix="$findings/" -print_final_stats=1 2>&1 | grep -E '^(stat::|==|INFO: Done|#[0-9]+ *DONE)|ERROR|SUMMARY' || status=1
done
exit $status
