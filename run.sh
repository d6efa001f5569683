#!/usr/bin/env bash
# Installs what is missing, builds Quillet (Release) and starts it, with an optional picture.
# A recognition server (quillet-server) with a demo catalogue of drawn stamps runs beside it on
# 127.0.0.1:8711, the recognition host Quillet asks by default, and stops with it.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh
. scripts/env.sh
build=${QUILLET_BUILD_DIR:-build-release}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DQUILLET_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"

demo="${XDG_DATA_HOME:-$HOME/.local/share}/quillet/demo-catalogue"
[ -f "$demo/catalogue.tsv" ] || "$build/bin/quillet-tool" demo-catalogue "$demo" 200
server=""
if [ -z "${QUILLET_NO_SERVER:-}" ]; then
  "$build/bin/quillet-server" --catalogue "$demo" >"$build/quillet-server.log" 2>&1 &
  server=$!
  trap 'kill "$server" 2>/dev/null || true' EXIT
fi
"$build/bin/quillet" "$@"
