#!/usr/bin/env bash
# build.sh DIR [cmake options...]: configures (once) and builds Lumora into DIR.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
dir="$1"; shift
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S "$here" -B "$dir" "${generator[@]}" "$@"
else
  cmake -S "$here" -B "$dir" "$@" >/dev/null
fi
cmake --build "$dir" -j "$(nproc)"
