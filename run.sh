#!/usr/bin/env bash
# Installs what is missing, builds Quillet (Release) and starts it, with an optional picture and
# commands.
#
#     ./run.sh [picture] [/SEL:x,y,w,h | /SELALL] [/SAVEDATA:file] [/START | /IDENTIFYALL]
#     ./run.sh --catalogue DIR [...]   the recognition server serves your own catalogue
#     ./run.sh --demo                  a whole search offline: stand-in stamp sites and a photo
#
# A recognition server (quillet-server) runs beside Quillet on 127.0.0.1:8711, the recognition
# host Quillet asks by default, on a demo catalogue of drawn stamps (or DIR), unless the host
# configuration names another recognition server. Everything started here stops when Quillet ends.
set -euo pipefail
cd "$(dirname "$0")"

catalogue=""
demo=""
while [ $# -gt 0 ]; do
  case "$1" in
    --catalogue) catalogue=$(realpath "${2:?--catalogue needs a folder}"); shift 2 ;;
    --demo) demo=1; shift ;;
    *) break ;;
  esac
done

scripts/install-deps.sh
. scripts/env.sh
build=${QUILLET_BUILD_DIR:-build-release}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DQUILLET_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"

started=()
trap 'for pid in "${started[@]}"; do kill "$pid" 2>/dev/null || true; done' EXIT

# The recognition host as configured: hosts.cfg in the documents folder, then $QUILLET_HOSTS.
configured_recognition() {
  local documents value=""
  documents=$(xdg-user-dir DOCUMENTS 2>/dev/null || echo "$HOME/Documents")
  for file in "$documents/Quillet/hosts.cfg" "${QUILLET_HOSTS:-}"; do
    [ -n "$file" ] && [ -f "$file" ] || continue
    line=$(grep -E '^[[:space:]]*recognition[[:space:]]*=' "$file" | tail -n 1 || true)
    [ -n "$line" ] && value=$(echo "${line#*=}" | tr -d '[:space:]')
  done
  echo "$value"
}

recognition=$(configured_recognition)
if [ -n "$demo" ] || [ -z "$recognition" ] || [ "$recognition" = "127.0.0.1:8711" ] || [ "$recognition" = "localhost:8711" ]; then
  if [ -z "$catalogue" ]; then
    catalogue="${XDG_DATA_HOME:-$HOME/.local/share}/quillet/demo-catalogue"
    [ -f "$catalogue/catalogue.tsv" ] || "$build/bin/quillet-tool" demo-catalogue "$catalogue" 200
  fi
  if [ -z "${QUILLET_NO_SERVER:-}" ]; then
    "$build/bin/quillet-server" --catalogue "$catalogue" >"$build/quillet-server.log" 2>&1 &
    started+=($!)
  fi
elif [ -n "$catalogue" ]; then
  echo "run.sh: the host configuration names the recognition server $recognition; --catalogue is not used" >&2
fi

if [ -n "$demo" ]; then
  # Stand-ins for the stamp sites, reached through them as a proxy; a photo of demo stamp 7.
  folder=$(mktemp -d "${TMPDIR:-/tmp}/quillet-demo-XXXXXX")
  count=$(grep -vc '^#' "$catalogue/catalogue.tsv")
  "$build/bin/quillet-tool" demo-web "$folder" "$count" 127.0.0.1:8711 7 >"$folder/web.log" 2>&1 &
  started+=($!)
  for _ in $(seq 100); do grep -q '^listening on' "$folder/web.log" && break; sleep 0.1; done
  port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$folder/web.log")
  [ -n "$port" ] || { cat "$folder/web.log" >&2; exit 1; }
  echo "demo: stand-in sites on 127.0.0.1:$port, report in $folder/report.html"
  # A copy of its own (not handed to one already running), with its own hosts and its own
  # documents folder, so that your settings stay as they are.
  mkdir -p "$folder/home/Documents/Quillet"
  printf 'path = %s\nlanguage = english\n' "$(realpath "$build/bin")" >"$folder/home/Documents/Quillet/config.cfg"
  HOME="$folder/home" XDG_CONFIG_HOME="$folder/home/.config" \
    QUILLET_LOCK_FILE="$folder/quillet.lock" QUILLET_HOSTS="$folder/hosts.cfg" \
    http_proxy="http://127.0.0.1:$port" no_proxy="127.0.0.1,localhost" \
    "$build/bin/quillet" "$folder/photo.png" /SELALL "/SAVEDATA:$folder/report.html" /START "$@"
else
  "$build/bin/quillet" "$@"
fi
