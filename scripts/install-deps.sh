#!/usr/bin/env bash
# Installs the Debian packages that Quillet needs to build, run, test and package; does nothing
# when all of them are present.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config lld
  qt6-base-dev qt6-webengine-dev qt6-5compat-dev qt6-svg-dev
  libqt6svg6 qt6-image-formats-plugins
  libgumbo-dev libopencv-dev libbenchmark-dev libfaiss-dev libxxhash-dev
  fonts-dejavu-core fonts-noto-cjk xvfb xauth
  desktop-file-utils appstream dpkg-dev file
)

# One query for all of them: it runs before every test run, so it should cost no more than a moment.
installed=" $(dpkg-query -W -f='${Package}=${Status} ' "${packages[@]}" 2>/dev/null |
             grep -o '[^ =]*=install ok installed' | cut -d= -f1 | tr '\n' ' ' || true) "
missing=()
for p in "${packages[@]}"; do
  [[ $installed == *" $p "* ]] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
