# Sourced by the server benchmarks. probe_memory PID ADDRESS CATALOGUE_DIR: the server's resident
# memory now (started), without the shared libraries' pages (anonymous; they are about 80 MiB of
# the resident figure, shared by processes), and after ten uploads of catalogue stamps (after), in KiB.
probe_memory() {
  local pid=$1 address=$2 catalogue=$3 n
  started=$(awk '/VmRSS/ {print $2}' "/proc/$pid/status")
  anonymous=$(awk '/RssAnon/ {print $2}' "/proc/$pid/status")
  for n in 1 2 3 4 5 6 7 8 9 10; do
    "$bin/quillet-tool" ask-server "$catalogue/stamp000$((n % 9 + 1)).png" "$address" >/dev/null
  done
  after=$(awk '/VmRSS/ {print $2}' "/proc/$pid/status")
}
