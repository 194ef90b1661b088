#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing need.
# Runs apt-get only when something is missing; needs root (or sudo) then.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  qt6-base-dev qt6-serialport-dev qt6-svg-dev libqcustomplot-dev libgl-dev
  libgtest-dev libgmock-dev libbenchmark-dev clang-14 libclang-rt-14-dev
  xvfb xauth fonts-dejavu-core clang-format poppler-utils
  libmosquitto-dev mosquitto mosquitto-clients openssl
  libprotobuf-c-dev protobuf-c-compiler libprotobuf-dev protobuf-compiler
  dpkg-dev file lintian systemd
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
