#!/usr/bin/env bash
# Installs what is missing, builds Lumora and starts it; arguments go to the program.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$here/scripts/setup.sh"
bash "$here/scripts/build.sh" "$here/build/release" -DCMAKE_BUILD_TYPE=Release -DLUMORA_TESTS=OFF -DLUMORA_BENCH=OFF
exec "$here/build/release/src/app/lumora" --headless "$@"
