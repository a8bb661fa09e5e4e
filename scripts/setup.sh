#!/usr/bin/env bash
# Installs everything the build, the tests and a run of Lumora need.
# Safe to run again: each step checks before it changes anything.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

packages=(
  build-essential cmake ninja-build ccache pkg-config clang-format
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  qt6-base-dev
  libboost1.81-dev libssl-dev
  libcurl4-openssl-dev libpcre2-dev
  libsqlite3-dev sqlite3 zlib1g-dev libbrotli-dev libxlsxwriter-dev
  )


# yyjson is only packaged from the next Debian release on. That release is
# added as a source at a low pin priority, so nothing else is taken from it.
add_next_release_source() {
  local list=/etc/apt/sources.list.d/lumora-trixie.sources
  local pin=/etc/apt/preferences.d/lumora-trixie
  if [ ! -f "$pin" ]; then
    printf 'Package: *\nPin: release n=trixie\nPin-Priority: 100\n' | $SUDO tee "$pin" >/dev/null
  fi
  if [ ! -f "$list" ]; then
    # Reuse the mirror this machine already takes its packages from.
    local uri
    uri=$(grep -h -m1 '^URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '{print $2}' | head -n1 || true)
    if [ -z "$uri" ]; then
      uri=$(grep -h -m1 -E '^deb ' /etc/apt/sources.list 2>/dev/null | awk '{print $2}' | head -n1 || true)
    fi
    [ -n "$uri" ] || { echo "setup: no Debian mirror found in the apt sources" >&2; exit 1; }
    local keyring=/usr/share/keyrings/debian-archive-keyring.gpg
    printf 'Types: deb\nURIs: %s\nSuites: trixie\nComponents: main\nSigned-By: %s\n' "$uri" "$keyring" |
      $SUDO tee "$list" >/dev/null
    needs_update=1
  fi
}

missing=()
needs_update=0
add_next_release_source
# Node.js may come from elsewhere than Debian; only add Debian's when none is there.
command -v node >/dev/null && command -v npm >/dev/null || packages+=(nodejs npm)
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
dpkg-query -W -f='${Status}' libyyjson-dev 2>/dev/null | grep -q 'install ok installed' || needs_yyjson=1

if [ ${#missing[@]} -gt 0 ] || [ "${needs_yyjson:-0}" = 1 ] || [ "$needs_update" = 1 ]; then
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  if [ ${#missing[@]} -gt 0 ]; then
    $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
  fi
  if [ "${needs_yyjson:-0}" = 1 ]; then
    $SUDO apt-get install -y -q --no-install-recommends -t trixie libyyjson-dev
  fi
fi

# Test peers (fake live platform, reference WebSocket server) and browser assets.
if [ -f "$here/tests/node/package-lock.json" ]; then
  if [ ! -d "$here/tests/node/node_modules" ] ||
     [ "$here/tests/node/package-lock.json" -nt "$here/tests/node/node_modules/.package-lock.json" ]; then
    (cd "$here/tests/node" && npm ci --no-audit --no-fund --loglevel=error)
  fi
fi
