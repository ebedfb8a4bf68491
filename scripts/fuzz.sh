#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang, under AddressSanitizer
# and UndefinedBehaviorSanitizer, and runs each of them for a while.
# Usage: scripts/fuzz.sh [--short | --seconds N] [TARGET...]
#   --short      about 16 seconds in all (the test command's run)
#   --seconds N  N seconds for each target (default 600)
#   TARGET       fuzz_header_values, fuzz_url, fuzz_response or fuzz_calls
#                (default: all four)
# Each target's corpus grows in build/fuzz/corpus/TARGET from run to run. An
# input that fails is written to build/fuzz/crashes/ and the script exits
# non-zero; rerun it with build/fuzz/tests/fuzz/TARGET FILE.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

short=0
seconds=600
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --short) short=1 ;;
    --seconds) seconds="$2"; shift ;;
    fuzz_*) targets+=("$1") ;;
    *) echo "usage: scripts/fuzz.sh [--short | --seconds N] [TARGET...]" >&2; exit 64 ;;
  esac
  shift
done
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_header_values fuzz_url fuzz_response fuzz_calls)

"$root/scripts/setup.sh" build test
jobs=$(nproc)
[ "$jobs" -le 2 ] || jobs=2
build="$root/build/fuzz"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DHTTPMEDIA_FUZZ=ON -DHTTPMEDIA_BUILD_TOOLS=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target fuzzers
mkdir -p "$build/crashes"

# A few inputs of the expected shape, for a corpus that is still empty.
seed() {
  local corpus="$1" name=0
  shift
  for input in "$@"; do
    printf "$input" >"$corpus/seed-$name"
    name=$((name + 1))
  done
}

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

for target in "${targets[@]}"; do
  corpus="$build/corpus/$target"
  fresh=0
  [ -d "$corpus" ] || fresh=1
  mkdir -p "$corpus"
  case "$target" in
    fuzz_header_values)
      time_short=2 max_len=128
      [ $fresh -eq 0 ] || seed "$corpus" '1234567' ' 0\t' '2147483648' 'bytes 0-99/100' 'bytes 5-9/*' \
        '\000b\000y\000t\000e\000s\000 \000\000\330'
      ;;
    fuzz_url)
      time_short=3 max_len=2048
      [ $fresh -eq 0 ] || seed "$corpus" 'http://127.0.0.1:8080/a.mp3?x=1#f' 'HTTPS://[::1]/a b%%20\303\251' \
        'http://user:pw@host/p\000Range: bytes=0-\r\nAccept: */*' '\000h\000t\000t\000p\000:\000/\000/\000x\000\000\330'
      ;;
    fuzz_response)
      time_short=4 max_len=2048
      [ $fresh -eq 0 ] || seed "$corpus" \
        'HTTP/1.1 200 OK\r\nContent-Length: 5\r\nAccept-Ranges: bytes\r\n\r\nhello' \
        'HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 2-4/5\r\nContent-Length: 3\r\n\r\nllo' \
        'HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n' \
        'HTTP/1.0 200 OK\r\nContent-Length: 2\r\nContent-Length: 2\r\nX-Folded: a\r\n b\r\n\r\nhi'
      ;;
    fuzz_calls)
      time_short=7 max_len=256
      ;;
    *)
      echo "unknown fuzz target: $target" >&2
      exit 64
      ;;
  esac
  [ $short -eq 0 ] || seconds=$time_short
  echo "== $target: $seconds s" >&2
  # -timeout bounds one input: the slowest a call may take, with room.
  log="$build/$target.log"
  if ! "$build/tests/fuzz/$target" "$corpus" -max_total_time="$seconds" -max_len="$max_len" \
    -timeout=60 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix="$build/crashes/$target-" >"$log" 2>&1; then
    tail -n 80 "$log" >&2
    echo "$target failed; the input is in build/fuzz/crashes/, the whole run in $log" >&2
    exit 1
  fi
  grep -E '^(Done|stat::(number_of_executed_units|new_units_added|peak_rss_mb))' "$log" >&2
done
