#!/usr/bin/env bash
# Builds with a sanitizer in a folder of its own and runs tests there:
#     scripts/sanitize.sh thread  [SUITE...] [ctest arguments]   (default: the worker, search and server suites)
#     scripts/sanitize.sh address [SUITE...] [ctest arguments]   (default: every suite; with UndefinedBehaviorSanitizer)
# Naming suites builds only them (and the two programs), which is much quicker than everything.
set -euo pipefail
cd "$(dirname "$0")/.."
kind=${1:?usage: scripts/sanitize.sh thread|address [SUITE...] [ctest arguments]}
shift
scripts/install-deps.sh
. scripts/env.sh
build=build-${kind}
export TSAN_OPTIONS="suppressions=$PWD/scripts/tsan.supp halt_on_error=1 second_deadlock_stack=1 die_after_fork=0"
# The web engine's own Chromium code frees some objects through a base of another size; that is
# not ours to mend, and it would stop every suite that opens a page.
export ASAN_OPTIONS="detect_leaks=0 new_delete_type_mismatch=0"
export UBSAN_OPTIONS="print_stacktrace=1 halt_on_error=1"
sanitizers=$kind
[ "$kind" = address ] && sanitizers=address,undefined
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLET_SANITIZE="$sanitizers" -DQUILLET_BENCH=OFF >/dev/null
suites=()
while [ $# -gt 0 ] && [[ $1 != -* ]]; do
  suites+=("$1")
  shift
done
if [ ${#suites[@]} -eq 0 ] && [ $# -eq 0 ] && [ "$kind" = thread ]; then
  suites=(tst_loadthreadimg tst_sitesearch tst_stampsearch tst_searchwindow tst_misbehavingservers
          tst_recognitionexchange tst_recognitionserver tst_serverload)
fi
targets=()
if [ ${#suites[@]} -gt 0 ]; then
  targets=(--target "${suites[@]}" quillet-server quillet-app)
  set -- -R "^($(IFS='|'; echo "${suites[*]}"))\$" "$@"
fi
cmake --build "$build" -j"$(nproc)" "${targets[@]}"
cd "$build"
ctest --output-on-failure "$@"
