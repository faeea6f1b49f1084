#!/usr/bin/env bash
# Installs what is missing, builds, and starts Quarvel Undelete. Extra
# arguments go to the program (a disk image path opens that image). With no
# argument it opens the demo disk image, built on first run with the same
# fixture builder as the tests.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j"$(nproc)" --target quarvel quarvel-cli quarvel-open-device
bin=build/release/bin
args=("$@")
if [ ${#args[@]} -eq 0 ]; then
  demo_dir=build/release/demo
  mkdir -p "$demo_dir"
  if tests/fixtures/make_fixture.sh demo "$demo_dir"; then
    args=("$demo_dir/demo.img")
  else
    echo "The demo disk image could not be built here (see above); starting without it." >&2
  fi
fi
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display found: starting under Xvfb (screen :99)." >&2
  exec xvfb-run -a -s "-screen 0 1280x800x24" "$bin/quarvel" "${args[@]}"
fi
exec "$bin/quarvel" "${args[@]}"
