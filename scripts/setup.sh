#!/usr/bin/env bash
# Installs every package the project builds with, then configures and builds in build/.
# Idempotent: packages already present are skipped by apt-get, the build is incremental.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  cmake g++ ninja-build pkg-config ccache mold
  qtbase5-dev libqt5sql5-sqlite libqt5webkit5-dev
  libboost-thread-dev libboost-system-dev libboost-date-time-dev
  libssl-dev libqca-qt5-2-dev libqca-qt5-2-plugins
  libenet-dev libjs-jquery libxml2-dev iso-codes famfamfam-flag-png
  clang libclang-rt-dev xvfb
  qt5-image-formats-plugins qt5keychain-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [[ $(id -u) -ne 0 ]] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
source scripts/jobs.sh
cmake --build build -j "$build_jobs"
