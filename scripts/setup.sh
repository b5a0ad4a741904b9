#!/usr/bin/env bash
# Installs every Debian 12 package the build, the tests, the benchmarks and the
# fuzz targets need. Run as root (or with sudo available). Installs only what is
# missing, so running it again does nothing.
set -euo pipefail

packages=(
  build-essential g++ cmake ninja-build pkg-config
  clang libclang-rt-14-dev
  libspdlog-dev libfmt-dev libgcrypt20-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libsystemd-dev dbus systemd-journal-remote
  logrotate
  dpkg-dev lintian systemd
  mingw-w64 g++-mingw-w64-x86-64-posix libgcrypt-mingw-w64-dev libboost1.81-dev wine wine64
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  # sudo drops the environment, so the front end is passed through env.
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
