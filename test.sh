#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test through ctest; given ctest arguments
# (./test.sh -R tst_mainwindow), it runs just those tests.
#     ./test.sh --sanitize [ctest arguments]   also runs the suites that meet hostile input again
#                                              under AddressSanitizer and UBSan (CI does this)
set -euo pipefail
cd "$(dirname "$0")"
sanitize=""
if [ "${1:-}" = --sanitize ]; then
  sanitize=1
  shift
fi
scripts/install-deps.sh
. scripts/env.sh
build=${QUILLET_BUILD_DIR:-build}
# A new test build keeps only line tables for its backtraces: full debug information makes every
# object several times larger and the forty test executables slow to link. A build folder that
# exists keeps its own flags, so a developer's ccache-backed debug build is not thrown away.
flags=()
[ -f "$build/CMakeCache.txt" ] || flags=(-DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG")
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${flags[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)"
(cd "$build" && ctest --output-on-failure -j"$(nproc)" "$@")
if [ -n "$sanitize" ]; then
  scripts/sanitize.sh address tst_serverload tst_recognitionserver tst_multipartform \
    tst_misbehavingservers tst_startup tst_recognitionprotocol
fi
