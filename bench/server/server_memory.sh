#!/usr/bin/env bash
# Resident memory of quillet-server with demo catalogues of several sizes, after start and after
# ten uploads. Usage: bench/server/server_memory.sh [BUILD_DIR] [SIZES...]
set -euo pipefail
build=${1:-build}
shift || true
sizes=${*:-50 200 1000}
bin="$build/bin"
. "$(dirname "$0")/memory_probe.sh"
work=$(mktemp -d)
trap 'kill "$server" 2>/dev/null || true; rm -rf "$work"' EXIT
for size in $sizes; do
  "$bin/quillet-tool" demo-catalogue "$work/cat$size" "$size" >/dev/null
  "$bin/quillet-server" --catalogue "$work/cat$size" --port 0 >"$work/out$size" 2>/dev/null &
  server=$!
  until grep -q '^listening on' "$work/out$size" 2>/dev/null; do sleep 0.1; done
  address=$(sed -n 's/^listening on //p' "$work/out$size")
  probe_memory "$server" "$address" "$work/cat$size"
  echo "catalogue $size: resident $((started / 1024)) MiB after start (own memory $((anonymous / 1024)) MiB)," \
       "$((after / 1024)) MiB after 10 uploads"
  kill "$server"
  wait "$server" 2>/dev/null || true
done
