#!/usr/bin/env bash
# Sets up, builds and starts Pelmora on the demo table that the build makes; any arguments
# replace the demo table (`bash scripts/run.sh my.dbf`).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bash "$here/scripts/setup.sh"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "run: no display to show the program on; start it from a desktop session" \
       "(or under xvfb-run)" >&2
  exit 1
fi
if [ $# -eq 0 ]; then
  set -- "$here/build/demo/demo.dbf"
fi
exec "$here/build/app/pelmora" "$@"
