#!/usr/bin/env bash
# Builds the Windows plug-in for x86-64 and i686 with mingw-w64, checks both
# export tables and what the DLLs import, and runs the x86-64 build under
# Wine against the loopback test server: httpmedia-cat.exe and the DLL driver,
# with every byte checked against the server's body.
#
# HTTPMEDIA_LINUX_BUILD names a configured native build to take the test
# server and the body checker from (default: build-linux-win, configured here).
# Prints one "PASS name" / "FAIL name" line per check and a closing
# "N passed, N failed" line; exits nonzero when anything failed.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh" build test windows

jobs=2
linux_build="${HTTPMEDIA_LINUX_BUILD:-$root/build-linux-win}"

passed=0
failed=0
pass() {
  echo "PASS $1"
  passed=$((passed + 1))
}
fail() {
  echo "FAIL $1${2:+: $2}"
  failed=$((failed + 1))
}

# --- Builds -----------------------------------------------------------------
if [ -z "${HTTPMEDIA_LINUX_BUILD:-}" ]; then
  cmake -S "$root" -B "$linux_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DHTTPMEDIA_BUILD_TOOLS=OFF >/dev/null
fi
cmake --build "$linux_build" -j "$jobs" --target httpmedia_test_server_main httpmedia_body_check
server_exe="$linux_build/tests/support/httpmedia-test-server"
body_check="$linux_build/tests/windows/httpmedia-body-check"

for arch in x86_64 i686; do
  build="$root/build-win$([ "$arch" = x86_64 ] && echo 64 || echo 32)"
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-$arch.cmake" \
    -DHTTPMEDIA_BUILD_TESTS=ON -DHTTPMEDIA_BUILD_TOOLS=ON >/dev/null
  cmake --build "$build" -j "$jobs"
done

# --- Export and import tables -------------------------------------------------
# The six exports as "ordinal name" lines, from objdump's table of names
# (binutils prints either the index into the address table, to which the
# ordinal base is added, or the ordinal itself after "+base").
exports_of() {
  "$1" -p "$2" | awk '
    /^Export Address Table -- Ordinal Base/ { base = $NF }
    /^\[Ordinal\/Name Pointer\] Table/ { names = 1; next }
    names && /^[ \t]*$/ { names = 0 }
    names {
      line = $0
      if (match(line, /\+base\[ *[0-9]+\]/)) {
        ordinal = substr(line, RSTART, RLENGTH); gsub(/[^0-9]/, "", ordinal)
      } else {
        match(line, /\[ *[0-9]+\]/)
        ordinal = substr(line, RSTART, RLENGTH); gsub(/[^0-9]/, "", ordinal)
        ordinal += base
      }
      print ordinal, $NF
    }' | sort -n
}
address_entries_of() {
  "$1" -p "$2" | awk '/^Export Address Table -- Ordinal Base/ { on = 1; next }
    on && /^[ \t]*$/ { on = 0 } on && /\[ *[0-9]+\]/ { n++ } END { print n + 0 }'
}
imports_of() {
  "$1" -p "$2" | awk '/DLL Name:/ { print tolower($NF) }' | sort -u
}
expected_exports="1 InputMediaRead
2 InputMediaSeek
3 InputMediaOpen
4 InputMediaClose
5 _ZN11CInputMediaC1Ev
6 _ZN11CInputMediaaSERKS_"

for arch in x86_64 i686; do
  build="$root/build-win$([ "$arch" = x86_64 ] && echo 64 || echo 32)"
  objdump="$arch-w64-mingw32-objdump"
  dll="$build/src/httpmedia.dll"
  actual="$(exports_of "$objdump" "$dll")"
  entries="$(address_entries_of "$objdump" "$dll")"
  if [ "$actual" = "$expected_exports" ] && [ "$entries" = 6 ]; then
    pass "exports-$arch"
  else
    fail "exports-$arch" "$entries entries: $(echo "$actual" | tr '\n' ',')"
  fi
  # Only system DLLs: the C and C++ runtimes are linked in.
  imports="$(imports_of "$objdump" "$dll" | tr '\n' ' ')"
  if [ "$imports" = "kernel32.dll msvcrt.dll user32.dll wininet.dll " ]; then
    pass "imports-$arch"
  else
    fail "imports-$arch" "$imports"
  fi
  # The programs too carry their runtimes: no mingw DLL (lib*.dll) to ship.
  strays=""
  for exe in "$build/tools/httpmedia-cat.exe" "$build/tests/windows/httpmedia-dll-driver.exe"; do
    if [ -f "$exe" ]; then
      strays+="$(imports_of "$objdump" "$exe" | grep '^lib' || true)"
    else
      strays+="$(basename "$exe") missing "
    fi
  done
  if [ -z "$strays" ]; then
    pass "programs-self-contained-$arch"
  else
    fail "programs-self-contained-$arch" "$strays"
  fi
done

# --- Wine ---------------------------------------------------------------------
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine="$(command -v wine64 || command -v wine)"
wineserver=/usr/lib/wine/wineserver64
[ -x "$wineserver" ] || wineserver="$(command -v wineserver)"
export WINEPREFIX="$root/build-win64/wine-prefix"
export WINEDEBUG=-all
# No Mono or Gecko install prompts, and no display: nothing here opens a window.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  "$wine" wineboot -i >/dev/null 2>&1
fi

work="$(mktemp -d)"
server_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  "$wineserver" -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# One wineserver for the whole run. Wine starts its own with no persistence
# (-p0): it shuts down as each row's program ends, and in the end kills with
# status 1, silently, any program it still holds, one that started as it
# did so included. The one wineboot left is let go first, as it saves the
# prefix.
"$wineserver" -w
"$wineserver" -p

# The server stops when this script's end closes its standard input.
coproc SERVER { exec "$server_exe" --until-stdin-eof; }
server_pid=$SERVER_PID
read -r -t 30 banner <&"${SERVER[0]}"
port="${banner##* }"
base="http://127.0.0.1:$port"

winpath() { printf 'Z:%s' "${1//\//\\}"; }
dll64="$(winpath "$root/build-win64/src/httpmedia.dll")"
cat_exe="$root/build-win64/tools/httpmedia-cat.exe"

# The server's control targets, spoken to over bash's own TCP redirection.
server_get() {
  exec 3<>"/dev/tcp/127.0.0.1/$port"
  printf 'GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n' "$1" >&3
  timeout 10 cat <&3 | sed -e '1,/^\r$/d'
  exec 3<&-
}

# Runs httpmedia-cat.exe with a bounded time, its output to a file.
# httpmedia-cat says why whenever it fails: a status of 1 with nothing said
# is a wineserver's kill (see the one started above), not the program's. That
# is said, and the program runs once more, on a cleared request log, as the
# row began.
cat_to() {
  local out="$1" status=0
  shift
  run_cat() { timeout 90 "$wine" "$cat_exe" -q "--plugin=$dll64" "$@" >"$out" 2>"$work/stderr"; }
  run_cat "$@" || status=$?
  if [ "$status" -eq 1 ] && [ ! -s "$work/stderr" ]; then
    echo "NOTE Wine ended httpmedia-cat with status 1 before it said a word; once more"
    server_get /_clear >/dev/null
    status=0
    run_cat "$@" || status=$?
  fi
  return "$status"
}

check_cat() {
  local name="$1" start="$2" length="$3"
  shift 3
  local status=0
  cat_to "$work/$name.bin" "$@" || status=$?
  if [ "$status" -ne 0 ]; then
    fail "$name" "exit status $status: $(head -c 300 "$work/stderr")"
  elif verdict="$("$body_check" "$work/$name.bin" "$start" "$length")"; then
    pass "$name"
  else
    fail "$name" "$verdict"
  fi
  rm -f "$work/$name.bin"
}

# Standard output carries the body unchanged: the largest case goes there.
check_cat cat-20mb 0 20971520 "$base/big.bin?size=20971520"
check_cat cat-no-length-close 0 5000000 "$base/close.bin?size=5000000&framing=close"
check_cat cat-no-length-chunked 0 3000000 "$base/chunked.bin?size=3000000&framing=chunked"
check_cat cat-seek 7000000 3000000 --seek=7000000 "$base/seek.bin?size=10000000"
check_cat cat-range 12345678 1000000 --range=12345678:1000000 "$base/range.bin?size=20971520"

status=0
cat_to "$work/stdout.bin" -o "$(winpath "$work/file.bin")" "$base/file.bin?size=2000000" || status=$?
if [ "$status" -eq 0 ] && [ ! -s "$work/stdout.bin" ] &&
  verdict="$("$body_check" "$work/file.bin" 0 2000000 2>&1)"; then
  pass cat-output-file
else
  fail cat-output-file "exit status $status: ${verdict:-}"
fi

status=0
cat_to "$work/error.bin" "$base/missing.bin?status=404" || status=$?
if [ "$status" -eq 1 ] && [ ! -s "$work/error.bin" ]; then
  pass cat-error-status
else
  fail cat-error-status "exit status $status, $(stat -c %s "$work/error.bin") bytes out"
fi

# Each open sends the probe and then the stream's request: two GETs of the
# URL, both with the plug-in's User-Agent.
server_get /_clear >/dev/null
status=0
cat_to "$work/agent.bin" "$base/agent.bin?size=1000" || status=$?
requests="$(server_get /_requests | tr -d '\r')"
gets="$(printf '%s\n' "$requests" | grep -c '^GET /agent.bin?size=1000	' || true)"
agents="$(printf '%s\n' "$requests" | grep -c '	User-Agent: Vellacord\(	\|$\)' || true)"
lines="$(printf '%s\n' "$requests" | grep -c . || true)"
if [ "$status" -eq 0 ] && [ "$gets" = 2 ] && [ "$agents" = 2 ] && [ "$lines" = 2 ]; then
  pass cat-two-gets-with-agent
else
  fail cat-two-gets-with-agent "exit $status, log: $(printf '%s' "$requests" | tr '\t\n' ' |')"
fi

# Far from what the ring holds, a server that serves ranges is asked for the
# body from the seek's target on.
server_get /_clear >/dev/null
check_cat cat-seek-by-range 15000000 5971520 --seek=15000000 "$base/ranged.bin?size=20971520&ranges=1"
if server_get /_requests | tr -d '\r' | grep -q '^GET /ranged.bin?size=20971520&ranges=1	.*Range: bytes=15000000-'; then
  pass cat-seek-by-range-request
else
  fail cat-seek-by-range-request "no request for bytes=15000000-"
fi

# Two processes of the DLL: a player reading a server that trickles 200 B/s
# holds up no other player's stream (the chunk mutex is shared by name).
timeout 60 "$wine" "$cat_exe" -q "--plugin=$dll64" "$base/trickle.bin?size=3000000&rate=200" \
  >/dev/null 2>&1 &
trickling=$!
sleep 5  # Wine starts, and the trickle's transfer is under way
started=$SECONDS
check_cat cat-beside-a-trickle 0 20971520 "$base/beside.bin?size=20971520"
if [ $((SECONDS - started)) -gt 15 ]; then
  fail cat-beside-a-trickle-in-time "took $((SECONDS - started)) s"
else
  pass cat-beside-a-trickle-in-time
fi
kill "$trickling" 2>/dev/null || true
wait "$trickling" 2>/dev/null || true

# The DLL driver: each of its cases in a Wine process of its own, so that a
# hang costs one case its time limit and nothing else.
driver="$root/build-win64/tests/windows/httpmedia-dll-driver.exe"
cases="$("$wine" "$driver" --list | tr -d '\r')"
[ -n "$cases" ] || fail driver-list "no cases"
for name in $cases; do
  status=0
  timeout 90 "$wine" "$driver" "$dll64" "$base" "$name" >"$work/driver.txt" 2>&1 || status=$?
  if [ "$status" -eq 0 ] && tr -d '\r' <"$work/driver.txt" | grep -qx "PASS $name"; then
    pass "driver-$name"
  elif [ "$status" -eq 124 ]; then
    fail "driver-$name" "no answer within 90 s"
  else
    fail "driver-$name" "$(tr -d '\r' <"$work/driver.txt" | grep '^FAIL' | head -1) (exit status $status)"
  fi
done

echo "windows: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
