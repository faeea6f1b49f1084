#!/usr/bin/env bash
# Makes the Debian package from this build tree, installs it with dpkg -i,
# runs what it installed (quarvel-cli --version, man quarvel-cli), checks its
# menu entry and metainfo, and removes it again. usage: BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
[ "$(id -u)" -eq 0 ] || { echo "skip: installing a package needs root"; exit 77; }
for tool in dpkg dpkg-deb dpkg-shlibdeps cpack man; do
  command -v "$tool" >/dev/null || { echo "skip: $tool is not installed"; exit 77; }
done
if dpkg-query -W -f='${Status}' quarvel 2>/dev/null | grep -q "install ok installed"; then
  echo "skip: a quarvel package is installed on this machine already; it is left alone"
  exit 77
fi

out=$(mktemp -d)
installed=0
cleanup() {
  [ "$installed" -eq 0 ] || dpkg -r quarvel >/dev/null 2>&1 || true
  rm -rf "$out"
}
trap cleanup EXIT

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1 || { cat "$out/cpack.log"; exit 1; }
deb=$(ls "$out"/quarvel_*.deb)

fail() { echo "FAIL: $*"; exit 1; }
contents=$(dpkg-deb -c "$deb")
for path in ./usr/bin/quarvel ./usr/bin/quarvel-cli ./usr/libexec/quarvel/quarvel-open-device \
            ./usr/share/quarvel/language.ini ./usr/share/quarvel/Quarvel.conf \
            ./usr/share/man/man1/quarvel.1.gz ./usr/share/man/man1/quarvel-cli.1.gz \
            ./usr/share/bash-completion/completions/quarvel-cli \
            ./usr/share/metainfo/org.quarvel.undelete.metainfo.xml \
            ./usr/share/polkit-1/actions/org.quarvel.open-device.policy \
            ./usr/share/applications/quarvel.desktop ./usr/share/icons/hicolor/48x48/apps/quarvel.png; do
  grep -q " $path\$" <<<"$contents" || fail "the package lacks $path"
done
# Dependencies come from the binaries, not from a list kept by hand.
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libqt6core6 libqt6widgets6 libqt6dbus6 libblkid1; do
  grep -q "$lib" <<<"$depends" || fail "Depends lacks $lib: $depends"
done

DEBIAN_FRONTEND=noninteractive dpkg -i "$deb" >"$out/dpkg.log" 2>&1 || { cat "$out/dpkg.log"; fail "dpkg -i"; }
installed=1
/usr/bin/quarvel-cli --version | grep -qx "quarvel-cli $(dpkg-deb -f "$deb" Version)" || fail "quarvel-cli --version"
# A machine set up to leave manual pages out of packages has none to show.
if grep -rqs "path-exclude.*/usr/share/man" /etc/dpkg/dpkg.cfg.d/; then
  echo "note: this machine's dpkg leaves manual pages out; man reads the packaged page instead"
  dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/man/man1/quarvel-cli.1.gz >"$out/quarvel-cli.1.gz"
  page=$(MANPAGER=cat MANWIDTH=80 man -l "$out/quarvel-cli.1.gz" 2>&1)
else
  page=$(MANPAGER=cat MANWIDTH=80 man quarvel-cli 2>&1)
fi
grep -q "quarvel-cli \[--image PATH\]" <<<"$page" || fail "man quarvel-cli: $page"
grep -q "^Exec=quarvel" /usr/share/applications/quarvel.desktop || fail "menu entry"
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate /usr/share/applications/quarvel.desktop || fail "desktop-file-validate"
fi
if command -v appstreamcli >/dev/null; then
  appstreamcli validate --no-net /usr/share/metainfo/org.quarvel.undelete.metainfo.xml || fail "appstreamcli validate"
fi
grep -q "/usr/libexec/quarvel/quarvel-open-device" /usr/share/polkit-1/actions/org.quarvel.open-device.policy ||
  fail "the polkit policy names another helper"

dpkg -r quarvel >"$out/remove.log" 2>&1 || { cat "$out/remove.log"; fail "dpkg -r"; }
installed=0
for path in /usr/bin/quarvel /usr/bin/quarvel-cli /usr/libexec/quarvel /usr/share/quarvel/language.ini; do
  [ ! -e "$path" ] || fail "$path is left after dpkg -r"
done
echo "the package installed, ran and was removed cleanly"
