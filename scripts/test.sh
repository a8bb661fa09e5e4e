#!/usr/bin/env bash
# Installs what is missing, builds Lumora twice (normal, and with AddressSanitizer +
# UndefinedBehaviorSanitizer) and runs every test in both builds.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$here/scripts/setup.sh"

jobs="$(nproc)"
bash "$here/scripts/build.sh" "$here/build/normal" -DCMAKE_BUILD_TYPE=RelWithDebInfo
(cd "$here/build/normal" && ctest --output-on-failure -j "$jobs")

bash "$here/scripts/build.sh" "$here/build/sanitize" -DCMAKE_BUILD_TYPE=Debug -DLUMORA_SANITIZE=ON
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd "$here/build/sanitize" && ctest --output-on-failure -j "$jobs")
