#!/usr/bin/env bash
# Builds everything and runs every test under wine in the build tree's
# private prefix. Exits non-zero on any failure.
#
# Tests labelled "kills_service" kill the service's process, after which Wine
# refuses its class until the wineserver ends. They run after all others,
# each alone with a wineserver of its own. Arguments go to every ctest run
# (and choose which of the kills_service tests run). ZV_COMPILER=clang tests
# the Clang build (./build-clang) instead of the GCC one (./build).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
compiler=${ZV_COMPILER:-gcc}
default_build=$root/build
[ "$compiler" = clang ] && default_build=$root/build-clang
build=${ZV_BUILD_DIR:-$default_build}
"$root/tools/install-deps.sh"
ZV_BUILD_DIR=$build "$root/tools/build.sh" "$compiler"

export WINEPREFIX=$build/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
"$root/tools/wine-prefix.sh" "$WINEPREFIX"

# One wineserver per phase: a test program then starts in a fraction of the
# time. It is shut down however the run ends.
start_wineserver() {
  wineserver -k 2>/dev/null || true
  wineserver -p
  # Start wine's own background processes now, detached from any output pipe:
  # started later by a test program they would inherit its pipe and keep CTest
  # waiting for its end.
  wine cmd.exe /c exit >/dev/null 2>&1 </dev/null
}
trap 'wineserver -k 2>/dev/null || true' EXIT
cd "$build"

failed_phases=0
passed=0
failed=0
skipped=0
log=$(mktemp)
# Runs ctest, shows its output, and adds its counts to the totals. A test
# that fails is run once more (both runs stay in the log): under load Wine
# has been seen to end a test program at its start, without any output.
run_ctest() {
  local rc=0
  ctest --output-on-failure --repeat until-pass:2 --timeout 300 "$@" 2>&1 | tee "$log" || rc=1
  local summary
  summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
  if [ -n "$summary" ]; then
    local f t s
    f=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$summary")
    t=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$summary")
    s=$(grep -cE '^[[:space:]]*[0-9]+ - .*\(Skipped\)$' "$log" || true)
    passed=$((passed + t - f - s))
    failed=$((failed + f))
    skipped=$((skipped + s))
  fi
  return $rc
}

start_wineserver
if ! run_ctest -LE kills_service "$@"; then
  failed_phases=$((failed_phases + 1))
fi

# ctest -N lists "  Test #12: Suite.Name" lines.
mapfile -t killing < <(ctest -N -L kills_service "$@" | sed -n 's/^ *Test *#[0-9]*: //p')
for test in "${killing[@]}"; do
  echo "== $test (alone, fresh wineserver)"
  start_wineserver
  # The name is matched as a whole; ctest takes -R as a regular expression.
  pattern=$(printf '%s' "$test" | sed 's/[][\.*^$+?(){}|]/\\&/g')
  if ! run_ctest -L kills_service "$@" -R "^${pattern}\$"; then
    failed_phases=$((failed_phases + 1))
  fi
done

rm -f "$log"
# The size of the tests against the code they test, counted as the project's
# stop check counts it: test lines may be at most half of the code lines.
count_lines() {
  find "$@" -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.hpp' -o -name '*.c' -o -name '*.idl' \
    -o -name '*.sh' \) -print0 2>/dev/null | xargs -0 cat | wc -l
}
test_lines=$(cd "$root" && count_lines tests)
code_lines=$(cd "$root" && count_lines src standin tools benchmarks)
echo "test lines: $test_lines / code lines: $code_lines =" \
  "$(awk -v t="$test_lines" -v c="$code_lines" 'BEGIN { printf "%.2f", c ? t / c : 0 }') (at most 0.50)"
# One closing line for the whole run (every phase above printed its own).
echo "tests: $passed passed, $failed failed, $skipped skipped"
if [ "$failed_phases" -ne 0 ]; then
  echo "test.sh: $failed_phases ctest run(s) failed" >&2
  exit 1
fi
