#!/usr/bin/env bash
# The mutation check: breaks one rule of the engine (or of the Linux
# layer, its Internet client included) at a time, as listed in scripts/mutations.txt,
# rebuilds the tests that cover it and runs them. A mutant is caught when a
# test fails, crashes or runs past its time; it survives when they all pass.
#
# Usage: scripts/mutation-check.sh [--list FILE] [--build DIR] [NAME...]
#   NAME...   only the mutants of these names (default: every one)
# Exit status 0 only when every mutant is caught or listed as equivalent. A
# mutant whose original snippet is no longer found exactly once in its file
# is "stale" and fails the check too: the code moved under it, and the list
# must follow. One that does not compile is "unbuildable", and fails as well.
#
# The build is Debug: HTTPMEDIA_ASSERT is active there, so a broken ring rule
# stops the process at the step that broke it, and the order of the writer's
# paired stores (which only a race would show in a release build) is checked
# between the two stores. Only the listed test executables are rebuilt, and
# each is run with its gtest filter.
#
# Every mutated file is copied aside before it is touched and put back after
# its mutant, and on any exit or interruption.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
list="$root/scripts/mutations.txt"
build="$root/build/mutation"
only=()
while [ $# -gt 0 ]; do
  case "$1" in
    --list) list="$2"; shift 2 ;;
    --build) build="$2"; shift 2 ;;
    -h|--help) sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) only+=("$1"); shift ;;
  esac
done
"$root/scripts/setup.sh" build test
jobs=$(nproc)
[ "$jobs" -le 2 ] || jobs=2
default_timeout=180

# --- Parse the list -------------------------------------------------------
# Records: "mutant NAME", then "file", "from" (one line of the original each;
# several form a multi-line snippet), "to" (likewise; none: the snippet is
# deleted), "tests" (EXE or EXE:GTEST_FILTER, space-separated), optionally
# "timeout SECONDS" and "equivalent WHY". Lines starting with # are comments.
# The text after "from " and "to " is taken verbatim, leading spaces included.
names=() files=() froms=() tos=() tests=() timeouts=() equivalents=()
current=-1
line_no=0
while IFS= read -r line || [ -n "$line" ]; do
  line_no=$((line_no + 1))
  case "$line" in
    ''|'#'*) continue ;;
  esac
  key="${line%% *}"
  value=""
  [ "$key" = "$line" ] || value="${line#* }"
  if [ "$key" = mutant ]; then
    current=$((current + 1))
    names[current]="$value"; files[current]=""; froms[current]=""; tos[current]=""
    tests[current]=""; timeouts[current]=$default_timeout; equivalents[current]=""
    declare -g "has_from_$current=0" "has_to_$current=0"
    continue
  fi
  if [ "$current" -lt 0 ]; then
    echo "$list:$line_no: '$key' before the first mutant" >&2
    exit 2
  fi
  case "$key" in
    file) files[current]="$value" ;;
    from)
      has="has_from_$current"
      if [ "${!has}" = 1 ]; then froms[current]+=$'\n'"$value"; else froms[current]="$value"; fi
      declare -g "$has=1" ;;
    to)
      has="has_to_$current"
      if [ "${!has}" = 1 ]; then tos[current]+=$'\n'"$value"; else tos[current]="$value"; fi
      declare -g "$has=1" ;;
    tests) tests[current]="$value" ;;
    timeout) timeouts[current]="$value" ;;
    equivalent) equivalents[current]="$value" ;;
    *) echo "$list:$line_no: unknown key '$key'" >&2; exit 2 ;;
  esac
done < "$list"

count=$((current + 1))
for ((i = 0; i < count; i++)); do
  if [ -z "${files[i]}" ] || [ -z "${froms[i]}" ] || [ -z "${tests[i]}" ]; then
    echo "mutant ${names[i]}: needs file, from and tests" >&2
    exit 2
  fi
done

selected=()
for ((i = 0; i < count; i++)); do
  if [ ${#only[@]} -eq 0 ]; then
    selected+=("$i")
  else
    for name in "${only[@]}"; do [ "$name" = "${names[i]}" ] && selected+=("$i"); done
  fi
done
if [ ${#selected[@]} -eq 0 ]; then
  echo "no mutant of that name in $list" >&2
  exit 2
fi

# --- Keep the tree safe ---------------------------------------------------
backup="$build/pristine"
mkdir -p "$backup"
active=""  # the file mutated right now, relative to the root
restore() {
  if [ -n "$active" ]; then
    # A fresh time stamp, not the copy's: the build must see the file change
    # back and recompile it.
    cp "$backup/$active" "$root/$active"
    touch "$root/$active"
    active=""
  fi
}
# The download's chunk mutex is shared by the user's processes: another
# process streaming through the plug-in (another test run of the user's)
# would hold up these tests and pass for a caught mutant. The tests get a
# private runtime directory of their own, where the mutex's lock file lives.
runtime="$(mktemp -d)"
on_exit() {
  local status=$?
  restore
  rm -rf "$runtime"
  exit "$status"
}
trap on_exit EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# --- Build ----------------------------------------------------------------
# Every test spec of the selected mutants, once each, and their executables.
specs=()
for i in "${selected[@]}"; do
  for spec in ${tests[i]}; do specs+=("$spec"); done
done
mapfile -t specs < <(printf '%s\n' "${specs[@]}" | sort -u)
mapfile -t targets < <(printf '%s\n' "${specs[@]%%:*}" | sort -u)

echo "== mutation check: Debug build in $build" >&2
# With the tools: httpmedia-cat's rules (its exit statuses, the credentials
# it hides) have mutants of their own. Only the listed targets are built.
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DHTTPMEDIA_BUILD_TOOLS=ON \
  >/dev/null
build_targets() {
  cmake --build "$build" -j "$jobs" --target "$@"
}
build_targets "${targets[@]}" >/dev/null

executable() {
  local path
  path="$(find "$build/tests" -maxdepth 2 -type f -name "$1" -perm -u+x | head -n 1)"
  [ -n "$path" ] || { echo "no test executable $1 in $build" >&2; exit 2; }
  echo "$path"
}

# Runs the test specs of a mutant; 0 when all pass. The gtest filter follows
# the executable's name after the first colon.
run_tests() {
  local limit="$1" spec exe filter args
  shift
  for spec in "$@"; do
    exe="${spec%%:*}"
    args=()
    if [ "$spec" != "$exe" ]; then
      filter="${spec#*:}"
      args=("--gtest_filter=$filter")
    fi
    # In a subshell, so that the shell does not report a test that aborted.
    (XDG_RUNTIME_DIR="$runtime" timeout --kill-after=5 "$limit" "$(executable "$exe")" \
      "${args[@]}" >"$log" 2>&1 || exit 1) 2>/dev/null || return 1
  done
  return 0
}

# The tests must pass on the unmutated code, or no mutant can be judged. A
# run that fails is tried once more: on a loaded machine a test that waits
# for the download to settle can misjudge it, and that is no mutant's doing.
log="$build/mutation.log"
echo "== mutation check: the covering tests on the unmutated code" >&2
start=$SECONDS
for spec in "${specs[@]}"; do
  if ! run_tests "$default_timeout" "$spec" && ! run_tests "$default_timeout" "$spec"; then
    echo "$spec fails without any mutant; see $log" >&2
    tail -n 30 "$log" >&2
    exit 1
  fi
done
echo "   passed in $((SECONDS - start)) s" >&2

# --- Mutate, test, restore ------------------------------------------------
caught=0 equivalent=0 survived=0 stale=0 unbuildable=0 wrong=0
failures=()
for i in "${selected[@]}"; do
  name="${names[i]}" file="${files[i]}" from="${froms[i]}" to="${tos[i]}"
  start=$SECONDS
  path="$root/$file"
  if [ ! -f "$path" ]; then
    status=stale
  else
    content="$(cat "$path"; printf x)"
    content="${content%x}"
    rest="${content#*"$from"}"
    if [ "$rest" = "$content" ] || [[ "$rest" == *"$from"* ]]; then
      status=stale  # not found, or found more than once
    else
      mkdir -p "$(dirname "$backup/$file")"
      cp -p "$path" "$backup/$file"
      active="$file"
      printf '%s' "${content%%"$from"*}$to$rest" > "$path"
      read -r -a mutant_specs <<<"${tests[i]}"
      if ! build_targets "${mutant_specs[@]%%:*}" >"$log" 2>&1; then
        status=unbuildable
      elif run_tests "${timeouts[i]}" "${mutant_specs[@]}"; then
        status=survived
      else
        status=caught
      fi
      restore
    fi
  fi
  case "$status" in
    caught)
      if [ -n "${equivalents[i]}" ]; then
        # Listed as equivalent, yet a test tells it apart: the reason is wrong.
        status="caught, but listed as equivalent"
        wrong=$((wrong + 1)); failures+=("$name")
      else
        caught=$((caught + 1))
      fi ;;
    survived)
      if [ -n "${equivalents[i]}" ]; then
        status="equivalent: ${equivalents[i]}"
        equivalent=$((equivalent + 1))
      else
        survived=$((survived + 1)); failures+=("$name")
      fi ;;
    stale) stale=$((stale + 1)); failures+=("$name") ;;
    unbuildable) unbuildable=$((unbuildable + 1)); failures+=("$name") ;;
  esac
  printf '%-50s %4d s  %s\n' "$name" $((SECONDS - start)) "$status"
done

# The tree is as it was: each mutated file equals the copy taken before.
for i in "${selected[@]}"; do
  file="${files[i]}"
  if [ -f "$backup/$file" ] && ! cmp -s "$backup/$file" "$root/$file"; then
    echo "$file differs from its copy taken before mutating it" >&2
    exit 1
  fi
done
if git -C "$root" rev-parse --git-dir >/dev/null 2>&1; then
  git -C "$root" diff --stat -- src/ >&2 || true
fi

echo "== mutants: ${#selected[@]}: $caught caught, $equivalent equivalent, $survived survived," \
  "$stale stale, $unbuildable unbuildable, $wrong caught but listed as equivalent" >&2
if [ ${#failures[@]} -gt 0 ]; then
  echo "mutation check failed: ${failures[*]}" >&2
  exit 1
fi
