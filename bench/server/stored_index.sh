#!/usr/bin/env bash
# The stored catalogue index with catalogues written beforehand (quillet-tool demo-catalogue DIR N):
# time to build it (quillet-server --build-index, every signature computed), time to start serving
# with it (the median of RUNS starts, default 5), resident memory after start and after ten uploads.
# CATALOGUE_DIR=INDEX_DIR uses an index built beforehand there (built when missing) and keeps it.
# Usage: [RUNS=N] bench/server/stored_index.sh BUILD_DIR CATALOGUE_DIR[=INDEX_DIR]...
set -euo pipefail
build=$1
shift
bin="$build/bin"
. "$(dirname "$0")/memory_probe.sh"
runs=${RUNS:-5}
work=$(mktemp -d)
# A pipe nobody writes to: reading it with a timeout waits without starting a process.
mkfifo "$work/tick"
exec {tick}<>"$work/tick"
server=
trap '[ -n "$server" ] && kill "$server" 2>/dev/null; rm -rf "$work"' EXIT
for argument in "$@"; do
  catalogue=${argument%%=*}
  name=$(basename "$catalogue")
  index="$work/index-$name"
  [ "$argument" != "$catalogue" ] && index=${argument#*=}
  begin=$(date +%s%N)
  "$bin/quillet-server" --catalogue "$catalogue" --index "$index" --build-index 2>"$work/build-$name" >/dev/null
  buildMs=$((($(date +%s%N) - begin) / 1000000))
  built=$(grep 'signatures loaded' "$work/build-$name" | sed 's/.*index: //')
  starts=()
  for run in $(seq "$runs"); do
    begin=$(date +%s%N)
    # A file of its own each run: the last run's ready line must not be taken for this one's.
    out="$work/out$name-$run"
    "$bin/quillet-server" --catalogue "$catalogue" --index "$index" --port 0 >"$out" 2>"$work/err$name" &
    server=$!
    # Waited for with shell builtins only: a grep and a sleep forked every 20 ms took a good part
    # of a core from the start measured on a busy machine (a second of 3 at 100 000 stamps).
    until read -r first <"$out" 2>/dev/null && [[ $first == "listening on"* ]]; do
      read -rt 0.02 -u "$tick" || true
    done
    starts+=($((($(date +%s%N) - begin) / 1000000)))
    if [ "$run" -lt "$runs" ]; then
      kill "$server"
      wait "$server" 2>/dev/null || true
      server=
    fi
  done
  readyMs=$(printf '%s\n' "${starts[@]}" | sort -n | sed -n "$(((runs + 1) / 2))p")
  address=$(sed -n 's/^listening on //p' "$out")
  probe_memory "$server" "$address" "$catalogue"
  files=$(du -sm "$index" | cut -f1)
  echo "$name: $(grep -cv -e '^#' -e '^$' "$catalogue/catalogue.tsv") rows; --build-index ${buildMs} ms ($built);" \
       "start with the stored index ${readyMs} ms (median of ${runs}: ${starts[*]});" \
       "index files ${files} MB; resident $((started / 1024)) MiB after start (own memory $((anonymous / 1024)) MiB)," \
       "$((after / 1024)) MiB after 10 uploads"
  kill "$server"
  wait "$server" 2>/dev/null || true
  server=
done
