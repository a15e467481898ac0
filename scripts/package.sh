#!/usr/bin/env bash
# Builds the Debian packages quilmar, tapwarden and quilmar-server into
# dist/ from a build of their own (build-pkg/, no tests), then lists them.
# Install with: sudo apt install ./dist/*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
install_deps

build=${QUILMAR_PACKAGE_BUILD:-build-pkg}
dist=$PWD/dist
# The packages trust no server by themselves: no built-in server key, even
# when an earlier configuration of this build directory named one.
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILMAR_TESTS=OFF \
      -DQUILMAR_SANITIZE=OFF -DQUILMAR_SERVER_KEY= "${launcher[@]}" >/dev/null
cmake --build "$build" -j2
rm -rf "$build/_packages"
(cd "$build" && cpack -G DEB -B "$PWD/_packages" >/dev/null)
mkdir -p "$dist"
rm -f "$dist"/quilmar_*.deb "$dist"/tapwarden_*.deb "$dist"/quilmar-server_*.deb
cp "$build"/_packages/*.deb "$dist/"
for deb in "$dist"/*.deb; do
  dpkg-deb -f "$deb" Package Version Architecture Depends | paste -sd' '
done
echo "packages in $dist"
