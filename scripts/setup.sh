#!/usr/bin/env bash
# One-time (idempotent) set-up of a Debian machine for building and testing the launcher:
# the MinGW-w64 cross compiler, Wine, CMake, Ninja, zstd, OpenSSL's libcrypto, osslsigncode, and
# zstd's source from Debian's source package, unpacked into the build tree (never into git).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export DEBIAN_FRONTEND=noninteractive

sudo_if_needed() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

packages=(
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64 cmake ninja-build zstd libzstd-dev pkg-config dpkg-dev
  googletest libgtest-dev g++ clang-format python3
  clang libclang-rt-dev osslsigncode openssl libssl-dev
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

# apt-get source needs a deb-src line for Debian's main archive.
have_src() { grep -rqsE '^(deb-src|Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/; }
added_src=0
if ! have_src; then
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
  keyring=/usr/share/keyrings/debian-archive-keyring.gpg
  # deb822 form, signed by the same keyring as the binary entries (apt refuses mixed Signed-By).
  printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: %s\nComponents: main\nSigned-By: %s\n' \
    "$codename" "$keyring" | sudo_if_needed tee /etc/apt/sources.list.d/onefile-deb-src.sources >/dev/null
  added_src=1
fi

zstd_cache="$root/build/_deps"
need_zstd_src=1
ls -d "$zstd_cache"/libzstd-*/build/cmake >/dev/null 2>&1 && need_zstd_src=0

if [ ${#missing[@]} -gt 0 ] || [ $added_src -eq 1 ] || [ $need_zstd_src -eq 1 ]; then
  echo "setup: updating package lists" >&2
  sudo_if_needed apt-get update -qq </dev/null >/dev/null
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}" >&2
  sudo_if_needed apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null >/dev/null
fi
if [ $need_zstd_src -eq 1 ]; then
  echo "setup: fetching zstd's source from Debian's source package" >&2
  mkdir -p "$zstd_cache"
  (cd "$zstd_cache" && apt-get source -qq libzstd </dev/null >/dev/null 2>&1)
  ls -d "$zstd_cache"/libzstd-*/build/cmake >/dev/null
fi
