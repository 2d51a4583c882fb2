#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the demo need.
# Idempotent, and quiet when everything is already there.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config git
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libcurl4-openssl-dev libssl-dev libxml2-dev libxml2-utils libsqlite3-dev
  zlib1g-dev libminizip-dev libcpp-httplib-dev libacl1-dev acl
  libevtx-dev libbfio-dev libevtx-utils
  clang libclang-rt-14-dev
  zip unzip python3 openssl curl
  libfltk1.3-dev fonts-liberation xvfb xdotool x11-apps netpbm
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "install-deps: installing ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
