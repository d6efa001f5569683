#!/usr/bin/env bash
# Resident memory of quillet-server with demo catalogues of several sizes, after start and after
# ten uploads. Usage: bench/server/server_memory.sh [BUILD_DIR] [SIZES...]
set -euo pipefail
build=${1:-build}
shift || true
sizes=${*:-50 200 1000}
bin="$build/bin"
work=$(mktemp -d)
trap 'kill "$server" 2>/dev/null || true; rm -rf "$work"' EXIT
for size in $sizes; do
  "$bin/quillet-tool" demo-catalogue "$work/cat$size" "$size" >/dev/null
  "$bin/quillet-server" --catalogue "$work/cat$size" --port 0 >"$work/out$size" 2>/dev/null &
  server=$!
  until grep -q '^listening on' "$work/out$size" 2>/dev/null; do sleep 0.1; done
  address=$(sed -n 's/^listening on //p' "$work/out$size")
  started=$(awk '/VmRSS/ {print $2}' "/proc/$server/status")
  # Without the shared libraries' pages (about 80 MiB of the resident figure, shared by processes).
  anonymous=$(awk '/RssAnon/ {print $2}' "/proc/$server/status")
  for n in 1 2 3 4 5 6 7 8 9 10; do
    "$bin/quillet-tool" ask-server "$work/cat$size/stamp000$((n % 9 + 1)).png" "$address" >/dev/null
  done
  after=$(awk '/VmRSS/ {print $2}' "/proc/$server/status")
  echo "catalogue $size: resident $((started / 1024)) MiB after start (own memory $((anonymous / 1024)) MiB)," \
       "$((after / 1024)) MiB after 10 uploads"
  kill "$server"
  wait "$server" 2>/dev/null || true
done
