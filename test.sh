#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test through ctest. Given no arguments (as CI
# runs it), it then runs the suites that meet hostile input again under AddressSanitizer and
# UndefinedBehaviorSanitizer; given ctest arguments, it runs just those tests.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh
. scripts/env.sh
build=${QUILLET_BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)"
(cd "$build" && ctest --output-on-failure -j"$(nproc)" "$@")
if [ $# -eq 0 ]; then
  scripts/sanitize.sh address tst_serverload tst_recognitionserver tst_multipartform \
    tst_misbehavingservers tst_startup tst_recognitionprotocol
fi
