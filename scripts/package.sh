#!/usr/bin/env bash
# Builds Quarvel Undelete in release mode and makes its Debian package:
# build/package/quarvel_VERSION_ARCH.deb. Install it with
#   sudo apt install ./build/package/quarvel_*.deb     (or sudo dpkg -i)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build=build/package
# Only what the package holds is built, not the tests and benchmarks.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target quarvel quarvel-cli quarvel-open-device quarvel_man_pages \
  quarvel_language_ini
desktop-file-validate resources/desktop/quarvel.desktop
appstreamcli validate --no-net resources/desktop/org.quarvel.undelete.metainfo.xml
rm -f "$build"/quarvel_*.deb
(cd "$build" && cpack -G DEB)
ls "$build"/quarvel_*.deb
