#!/usr/bin/env bash
# Checks that the folders depend on one another one way only: a folder includes files of the
# folders listed for it and of none other (the program's own layers, lowest first). Run by ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
declare -A allowed=(
  [style]=""
  [matching]=""
  [sites]=""
  [imaging]="style matching"
  [search]="matching sites"
  [results]="style matching sites"
  [server]="matching search sites"
  [standins]="matching search server sites"
  [app]="style matching sites imaging search results"
)
status=0
for folder in "${!allowed[@]}"; do
  while IFS= read -r line; do
    file=${line%%:*}
    target=$(sed -E 's/.*#include "([a-z]+)\/.*/\1/' <<<"$line")
    [ "$target" = "$folder" ] && continue
    [ -d "$target" ] || continue
    if [[ " ${allowed[$folder]} " != *" $target "* ]]; then
      echo "$file: $folder/ must not include from $target/: ${line#*:}"
      status=1
    fi
  done < <(grep -rnE '^#include "[a-z]+/' "$folder" --include='*.cpp' --include='*.h' || true)
done
exit $status
