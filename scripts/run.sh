#!/usr/bin/env bash
# Sets up, builds and starts Pelmora on the demo table that the build makes.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bash "$here/scripts/setup.sh"
demo="$here/build/demo/demo.dbf"
if [ -f "$demo" ]; then
  exec "$here/build/app/pelmora" "$demo" "$@"
fi
exec "$here/build/app/pelmora" "$@"
