#!/usr/bin/env bash
# Installs the Debian packages a job needs, when missing.
# Usage: scripts/setup.sh [group...]; groups: build (default), test, package,
# windows, bench.
#   build    what building httpmedia needs (the main job, scripts/run.sh);
#            libssl-dev lets the log name an https answer's TLS version
#            (and the test server serve https)
#   test     what the tests need on top: GoogleTest, the stock nginx and the
#            certificates it serves, clang and its sanitizer and fuzzer
#            runtimes, libavformat and ffmpeg (the example and its clips),
#            groff (the manual page), pkg-config, and the package tools
#   package  what building the Debian package needs (scripts/package.sh)
set -euo pipefail

packages_for() {
  case "$1" in
    build) echo cmake ninja-build g++ libcurl4-openssl-dev libssl-dev ca-certificates ;;
    test) echo libgtest-dev googletest pkg-config procps nginx-light openssl clang libclang-rt-14-dev llvm libavformat-dev ffmpeg groff-base man-db dpkg-dev debhelper lintian ;;
    package) echo dpkg-dev debhelper ;;
    windows) echo g++-mingw-w64-x86-64 g++-mingw-w64-i686 binutils-mingw-w64-x86-64 binutils-mingw-w64-i686 wine64 wine ;;
    bench) echo nginx-light curl python3-matplotlib time openssl ;;
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
