#!/usr/bin/env bash
# Installs every Debian package that building, testing and packaging need.
# Idempotent: it installs only what is missing and does nothing on a ready machine.
set -euo pipefail

packages=(
  g++ cmake make pkg-config git
  qtbase5-dev libqt5sql5-sqlite libsystemd-dev systemd-journal-remote
  protobuf-compiler libprotobuf-dev
  sqlite3 libsqlite3-dev
  rpm
  libpq-dev postgresql
  clang libclang-rt-14-dev
  scdoc dpkg-dev file systemd bash-completion man-db
  python3-prometheus-client
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update
  $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi
