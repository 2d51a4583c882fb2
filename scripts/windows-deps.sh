#!/usr/bin/env bash
# Builds, once, the static mingw-w64 libraries the Windows build links: curl
# (HTTP and HTTPS only, TLS through Windows' Schannel), libxml2 (no iconv, no
# Python), SQLite (the amalgamation), zlib and minizip. The sources are
# Debian's own source packages (apt-get source). The result goes to a cache
# folder outside the checkout, named after the source versions, and is reused
# while those versions stay the same.
#   scripts/windows-deps.sh            builds when missing; the last line of
#                                      its output is the prefix to use
#   AMBRIK_MINGW_CACHE=<dir>           the cache folder (default
#                                      /var/cache/ambrik-mingw)
set -euo pipefail

CACHE="${AMBRIK_MINGW_CACHE:-/var/cache/ambrik-mingw}"
# Raised whenever the way the libraries are built changes, so that an old
# cache is not taken for a new one.
RECIPE=1
HOST=x86_64-w64-mingw32
# zlib: the security update's tarball is not served, so the release version.
ZLIB_SOURCE="zlib=1:1.2.13.dfsg-1"
SOURCES=(curl libxml2 sqlite3 "$ZLIB_SOURCE")

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
say() { echo "windows-deps: $*" >&2; }

install_tools() {
  # wine runs the programs afterwards (scripts/windows-check.sh); wixl and
  # msitools build and read the package (scripts/windows-msi.sh).
  local want=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 dpkg-dev cmake ninja-build
              make tcl gcc xz-utils bzip2 wine wine64 wixl msitools)
  local missing=()
  for p in "${want[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    say "installing ${missing[*]}"
    $SUDO apt-get -o DPkg::Lock::Timeout=600 update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
      --no-install-recommends "${missing[@]}" >/dev/null
  fi
}

# A deb-src entry for each Debian suite the machine installs from, so that
# apt-get source fetches the same versions as the installed packages.
add_source_entries() {
  local list=/etc/apt/sources.list.d/ambrik-deb-src.sources
  [ -f "$list" ] && return 0
  local tmp
  tmp="$(mktemp)"
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    grep -q 'debian' "$f" || continue
    # deb822 stanzas: the same entries with Types: deb-src.
    sed -e 's/^Types:.*$/Types: deb-src/' "$f" >>"$tmp"
    echo >>"$tmp"
  done
  if [ -f /etc/apt/sources.list ]; then
    # One-line entries: "deb [options] uri suite components".
    grep -E '^deb[[:space:]]' /etc/apt/sources.list | grep debian | while read -r _ rest; do
      echo "deb-src $rest"
    done >"$tmp.lines" || true
    if [ -s "$tmp.lines" ]; then
      $SUDO cp "$tmp.lines" /etc/apt/sources.list.d/ambrik-deb-src.list
    fi
    rm -f "$tmp.lines"
  fi
  if [ -s "$tmp" ]; then
    $SUDO cp "$tmp" "$list"
  else
    $SUDO touch "$list"
  fi
  rm -f "$tmp"
  say "added deb-src entries; updating the package lists"
  $SUDO apt-get -o DPkg::Lock::Timeout=600 update -qq
}

# The versions apt-get source would fetch, from one query for all packages
# (each "name" or "name=version"): the .dsc lines of --print-uris.
source_uris() { apt-get source --print-uris "${SOURCES[@]}" 2>/dev/null || true; }
version_in() { echo "$1" | sed -nE "s/^'[^']*' ${2}_([^ ]+)\.dsc .*/\1/p" | head -n 1; }

install_tools
add_source_entries

uris="$(source_uris)"
if [ "$(echo "$uris" | grep -c '\.dsc ')" -lt ${#SOURCES[@]} ]; then
  say "apt-get source does not know every package; updating the package lists"
  $SUDO apt-get -o DPkg::Lock::Timeout=600 update -qq
  uris="$(source_uris)"
fi
key=""
for s in "${SOURCES[@]}"; do
  v="$(version_in "$uris" "${s%%=*}")"
  [ -n "$v" ] || { say "no Debian source package for $s"; exit 1; }
  key="${key}${s%%=*}-${v}_"
done
key="$(echo "${key}r${RECIPE}" | tr ':~+' '...')"
PREFIX="$CACHE/$key"

if [ -f "$PREFIX/.complete" ]; then
  say "using $PREFIX"
  echo "$PREFIX"
  exit 0
fi

$SUDO mkdir -p "$CACHE"
[ -w "$CACHE" ] || $SUDO chown "$(id -u):$(id -g)" "$CACHE"
# One build at a time; a second caller waits and then finds it done.
exec 9>"$CACHE/.lock"
flock 9
if [ -f "$PREFIX/.complete" ]; then
  say "using $PREFIX"
  echo "$PREFIX"
  exit 0
fi
# The libraries are installed straight into their final folder (their CMake
# and pkg-config files name it); .complete marks a finished build.
STAGE="$PREFIX"
WORK="$CACHE/.work-$key"
rm -rf "$WORK" "$STAGE"
mkdir -p "$WORK" "$STAGE/include" "$STAGE/lib"
trap 'rm -rf "$WORK"' EXIT
start=$SECONDS
say "building into $PREFIX (once; the next runs reuse it)"

cd "$WORK"
apt-get source -qq "${SOURCES[@]}" >/dev/null 2>&1 || apt-get source -q "${SOURCES[@]}"
jobs="$(nproc)"
CC="$HOST-gcc-posix"
AR="$HOST-ar"
launcher=()
if command -v ccache >/dev/null 2>&1; then launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache); fi
cross=(-G Ninja -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_SYSTEM_PROCESSOR=x86_64
       -DCMAKE_C_COMPILER="$CC" -DCMAKE_RC_COMPILER="$HOST-windres"
       -DCMAKE_FIND_ROOT_PATH="$STAGE;/usr/$HOST" -DCMAKE_FIND_ROOT_PATH_MODE_PROGRAM=NEVER
       -DCMAKE_FIND_ROOT_PATH_MODE_LIBRARY=ONLY -DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY
       -DCMAKE_FIND_ROOT_PATH_MODE_PACKAGE=ONLY -DCMAKE_BUILD_TYPE=Release
       -DCMAKE_INSTALL_PREFIX="$STAGE" -DBUILD_SHARED_LIBS=OFF "${launcher[@]}")

# zlib and minizip (zlib's contrib/minizip), compiled directly: a handful of files.
say "zlib and minizip"
(
  cd zlib-*/
  objs=()
  for c in adler32 compress crc32 deflate gzclose gzlib gzread gzwrite infback inffast \
           inflate inftrees trees uncompr zutil; do
    "$CC" -O2 -c "$c.c" -o "$c.o"
    objs+=("$c.o")
  done
  "$AR" rcs "$STAGE/lib/libz.a" "${objs[@]}"
  cp zlib.h zconf.h "$STAGE/include/"
  cd contrib/minizip
  objs=()
  for c in ioapi iowin32 unzip zip; do
    "$CC" -O2 -I../.. -c "$c.c" -o "$c.o"
    objs+=("$c.o")
  done
  "$AR" rcs "$STAGE/lib/libminizip.a" "${objs[@]}"
  mkdir -p "$STAGE/include/minizip"
  cp ioapi.h iowin32.h unzip.h zip.h crypt.h "$STAGE/include/minizip/"
)

# SQLite: the amalgamation is generated from the source tree by its own
# native tools (tclsh, lemon), then compiled once for Windows.
say "sqlite"
(
  cd sqlite3-*/
  mkdir native && cd native
  ../configure --disable-tcl --disable-readline --disable-shared >/dev/null
  make -s -j"$jobs" sqlite3.c >/dev/null
  "$CC" -O2 -DSQLITE_THREADSAFE=1 -DSQLITE_OMIT_LOAD_EXTENSION -c sqlite3.c -o sqlite3.o
  "$AR" rcs "$STAGE/lib/libsqlite3.a" sqlite3.o
  cp sqlite3.h sqlite3ext.h "$STAGE/include/"
)

say "libxml2"
(
  cd libxml2-*/
  off=(C14N CATALOG DEBUG DOCB FTP HTTP ICONV ICU LEGACY LZMA MODULES PROGRAMS PYTHON SCHEMAS
       SCHEMATRON TESTS XINCLUDE XPTR ZLIB)
  args=()
  for o in "${off[@]}"; do args+=("-DLIBXML2_WITH_$o=OFF"); done
  cmake --no-warn-unused-cli -S . -B build "${cross[@]}" "${args[@]}" >/dev/null
  cmake --build build -j"$jobs" >/dev/null
  cmake --install build >/dev/null
)

say "curl"
(
  cd curl-*/
  cmake --no-warn-unused-cli -S . -B build "${cross[@]}" -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF -DHTTP_ONLY=ON \
    -DCURL_USE_SCHANNEL=ON -DCURL_USE_OPENSSL=OFF -DCURL_ZLIB=OFF -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF \
    -DUSE_LIBIDN2=OFF -DCURL_USE_LIBPSL=OFF -DCURL_USE_LIBSSH2=OFF -DUSE_NGHTTP2=OFF \
    -DCURL_DISABLE_LDAP=ON -DCURL_DISABLE_LDAPS=ON -DENABLE_MANUAL=OFF -DPICKY_COMPILER=OFF \
    -DCURL_DISABLE_ALTSVC=ON -DCURL_DISABLE_COOKIES=ON -DCURL_DISABLE_HSTS=ON -DCURL_DISABLE_NETRC=ON \
    -DENABLE_UNIX_SOCKETS=OFF >/dev/null
  cmake --build build -j"$jobs" >/dev/null
  cmake --install build >/dev/null
)

touch "$PREFIX/.complete"
say "built in $((SECONDS - start)) s"
echo "$PREFIX"
