#!/usr/bin/env bash
# The stored catalogue index with catalogues written beforehand (quillet-tool demo-catalogue DIR N):
# time to build it (quillet-server --build-index, every signature computed), time to start serving
# with it, resident memory after start and after ten uploads.
# Usage: bench/server/stored_index.sh BUILD_DIR CATALOGUE_DIR...
set -euo pipefail
build=$1
shift
bin="$build/bin"
work=$(mktemp -d)
server=
trap '[ -n "$server" ] && kill "$server" 2>/dev/null; rm -rf "$work"' EXIT
for catalogue in "$@"; do
  name=$(basename "$catalogue")
  index="$work/index-$name"
  begin=$(date +%s%N)
  "$bin/quillet-server" --catalogue "$catalogue" --index "$index" --build-index 2>"$work/build-$name" >/dev/null
  buildMs=$((($(date +%s%N) - begin) / 1000000))
  begin=$(date +%s%N)
  "$bin/quillet-server" --catalogue "$catalogue" --index "$index" --port 0 >"$work/out$name" 2>"$work/err$name" &
  server=$!
  until grep -q '^listening on' "$work/out$name"; do sleep 0.02; done
  readyMs=$((($(date +%s%N) - begin) / 1000000))
  address=$(sed -n 's/^listening on //p' "$work/out$name")
  started=$(awk '/VmRSS/ {print $2}' "/proc/$server/status")
  # Without the shared libraries' pages (about 80 MiB of the resident figure, shared by processes).
  anonymous=$(awk '/RssAnon/ {print $2}' "/proc/$server/status")
  for n in 1 2 3 4 5 6 7 8 9 10; do
    "$bin/quillet-tool" ask-server "$catalogue/stamp000$((n % 9 + 1)).png" "$address" >/dev/null
  done
  after=$(awk '/VmRSS/ {print $2}' "/proc/$server/status")
  files=$(du -sm "$index" | cut -f1)
  echo "$name: $(grep -c . "$catalogue/catalogue.tsv") rows; --build-index ${buildMs} ms; start with the stored index ${readyMs} ms" \
       "($(grep 'signatures loaded' "$work/err$name" | sed 's/.*index: //')); index files ${files} MB;" \
       "resident $((started / 1024)) MiB after start (own memory $((anonymous / 1024)) MiB), $((after / 1024)) MiB after 10 uploads"
  kill "$server"
  wait "$server" 2>/dev/null || true
  server=
done
