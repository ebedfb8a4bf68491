#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
# Usage: scripts/setup.sh [group...]; groups: build (default), windows, bench.
set -euo pipefail

packages_for() {
  case "$1" in
    build) echo cmake ninja-build g++ pkg-config libcurl4-openssl-dev ca-certificates libgtest-dev googletest procps nginx-light openssl clang libclang-rt-14-dev llvm dpkg-dev libavformat-dev ffmpeg groff-base man-db ;;
    windows) echo g++-mingw-w64-x86-64 g++-mingw-w64-i686 binutils-mingw-w64-x86-64 binutils-mingw-w64-i686 wine64 wine ;;
    bench) echo nginx-light curl python3-matplotlib time ;;
    *) echo "unknown package group: $1" >&2; exit 2 ;;
  esac
}

groups=("$@")
[ ${#groups[@]} -gt 0 ] || groups=(build)
missing=()
for group in "${groups[@]}"; do
  for package in $(packages_for "$group"); do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
  done
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}" >&2
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
