#!/usr/bin/env bash
# Installs the Debian packages the build (and, with "test", the test peers) need, when missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  libsqlite3-dev sqlite3
  libcurl4-openssl-dev
  qt6-base-dev
  libgtest-dev libgmock-dev libbenchmark-dev
)
if [ "${1:-}" = "test" ]; then
  packages+=(
    clang libclang-rt-14-dev    # the sanitizer and libFuzzer build
    libxml2-dev                 # peer of the page-scanner benchmark
    nginx tinyproxy python3 python3-pyftpdlib   # real servers for the fetch tests
    openssl                     # the private CA and server certificates of the TLS tests
  )
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
