#!/usr/bin/env bash
# Builds the Debian package from debian/ with dpkg-buildpackage and prints the
# path of the .deb. dpkg-buildpackage writes its files beside the tree it
# builds and debhelper its work files inside it, so the build runs in a copy
# of the source tree: DIR/httpmedia-VERSION, the packages landing in DIR.
# Usage: scripts/package.sh [DIR]   (default DIR: build/package)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh" build package

out="$(realpath -m "${1:-$root/build/package}")"
version=$(dpkg-parsechangelog -l "$root/debian/changelog" -S Version)
source="$out/httpmedia-$version"
log="$out/build.log"
# Only what an earlier run made here is removed: DIR may hold other things.
rm -rf "$source" "$log" "$out"/httpmedia{,-dbgsym}_"$version"_*.{deb,ddeb,buildinfo,changes}
mkdir -p "$source"
# The tree without its build trees, install prefix and repository.
tar -C "$root" --exclude='./build*' --exclude=./out --exclude=./install --exclude=./.git \
  --exclude='*.swp' -cf - . | tar -C "$source" -xf -
# ccache, where there is one, speeds up the next build of the same version
# (the same paths).
if command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER="${CMAKE_C_COMPILER_LAUNCHER:-ccache}"
  export CMAKE_CXX_COMPILER_LAUNCHER="${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}"
fi
# The build's own chatter goes to a log, shown only when something fails.
if ! (cd "$source" && dpkg-buildpackage -b -us -uc -j"$(nproc)") >"$log" 2>&1; then
  cat "$log" >&2
  echo "package.sh: the package build failed (log: $log)" >&2
  exit 1
fi
deb="$out/httpmedia_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || { echo "package.sh: dpkg-buildpackage made no $deb (log: $log)" >&2; exit 1; }
echo "$deb"
