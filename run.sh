#!/usr/bin/env bash
# Installs what is missing, builds Quillet (Release) and starts it, with an optional picture.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh
. scripts/env.sh
build=${QUILLET_BUILD_DIR:-build-release}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DQUILLET_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"
exec "$build/bin/quillet" "$@"
