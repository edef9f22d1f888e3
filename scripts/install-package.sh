#!/usr/bin/env bash
# Installs the build dependencies, builds the Debian package in build-pkg/ and installs it
# with apt-get (through sudo when not run as root).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build-pkg -DCMAKE_INSTALL_PREFIX=/usr -DTEVRIK_BUILD_TESTS=OFF
cmake --build build-pkg -j "$(nproc)"
rm -f build-pkg/tevriksystemlog_*.deb
(cd build-pkg && cpack -G DEB)
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y ./build-pkg/tevriksystemlog_*_amd64.deb
