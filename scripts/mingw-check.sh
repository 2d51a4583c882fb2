#!/usr/bin/env bash
# Compiles the platform layer's Win32 backend with mingw-w64 (compile only;
# nothing runs). Installs the cross compiler when it is missing.
#   scripts/mingw-check.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${1:-build-mingw}"

if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1; then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  echo "mingw-check: installing g++-mingw-w64-x86-64-posix"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends \
    g++-mingw-w64-x86-64-posix >/dev/null
fi
cmake -S cmake/win32-check -B "$BUILD_DIR" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64.cmake" >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)"
echo "mingw-check: the Win32 backend compiles"
