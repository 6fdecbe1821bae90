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
# tools/wine-run.sh appends Wine's own output and exit code of every start
# that ended without output here; each run starts it afresh.
silent_log=$build/silent-starts.log
rm -f "$silent_log"
rm -rf "$build/run-output"

failed_phases=0
passed=0
failed=0
skipped=0
second_run_passes=()
log=$(mktemp)
second_runs=0
# Adds the counts of the ctest run in $log to the totals.
count_run() {
  local summary f t s
  run_failed=0
  summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
  [ -n "$summary" ] || return 0
  f=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$summary")
  t=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$summary")
  s=$(grep -cE '^[[:space:]]*[0-9]+ - .*\(Skipped\)$' "$log" || true)
  run_failed=$f
  passed=$((passed + t - f - s))
  failed=$((failed + f))
  skipped=$((skipped + s))
}
# Runs ctest, shows its output, and adds its counts to the totals. A test
# fails at once, with one exception: a test program that Wine ended before
# its first line of output (seen under load) is run once more, with Wine's
# error channel on; if it then passes, it counts as passed and is named in the
# closing lines. Both runs stay in the output.
run_ctest() {
  local rc=0
  ctest --output-on-failure --timeout 300 "$@" 2>&1 | tee "$log" || rc=1
  count_run
  # ctest prints a failed test's output after its result line "n/N Test #k: Name ...".
  local silent=()
  mapfile -t silent < <(awk '/^ *[0-9]+\/[0-9]+ +Test +#[0-9]+: / { name = $4 }
    /^wine-run: silent start: / && name != "" { print name; name = "" }' "$log")
  [ "${#silent[@]}" -gt 0 ] || return $rc
  local others=$((run_failed - ${#silent[@]}))
  local pattern
  # A parameterized test's CTest name goes on with "  # GetParam() = ...".
  pattern="^($(printf '%s\n' "${silent[@]}" | sed 's/[][\.*^$+?(){}|]/\\&/g' | paste -sd'|'))( |\$)"
  echo "== ${#silent[@]} test(s) ended without output: run once more with WINEDEBUG=err+all"
  second_runs=$((second_runs + ${#silent[@]}))
  rc=0
  WINEDEBUG=err+all ctest -V --timeout 300 -R "$pattern" 2>&1 | tee "$log" || rc=1
  count_run
  failed=$((failed - ${#silent[@]})) # the first run's failures of the tests run again
  local test
  for test in "${silent[@]}"; do
    if awk -v t="$test" '$4 == t && / Passed / { found = 1 } END { exit !found }' "$log"; then
      second_run_passes+=("$test")
    fi
  done
  [ "$others" -eq 0 ] && [ "$rc" -eq 0 ]
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

# The 32-bit library against the same 64-bit service, in a tree and prefix of
# its own: the suites that cross the process boundary to the 64-bit stand-in,
# the registration repairs, the lifecycle and the 32-bit in-process host (the
# rest runs for the 64-bit library only, to keep CI within its time). Its
# tests count in the closing lines like the others. A run narrowed by
# arguments (say, -R Http) is for the 64-bit tree alone unless ZV_X86=1.
if [ $# -eq 0 ] || [ "${ZV_X86:-0}" = 1 ]; then
  x86_build=${ZV_X86_BUILD_DIR:-$root/build-x86}
  x86_rc=0
  ZV_X86_BUILD_DIR=$x86_build "$root/tools/prepare-x86.sh" || x86_rc=$?
  if [ "$x86_rc" -eq 0 ]; then
    echo "== 32-bit library"
    export WINEPREFIX=$x86_build/wineprefix
    cd "$x86_build"
    rm -rf "$x86_build/silent-starts.log" "$x86_build/run-output"
    start_wineserver
    suites='AuthApiTest|ForwardingTest|CookieTest|HttpTest|EventSink|ConnectionsTest'
    suites+='|RegistrationRepairTest|UpdaterExchange|UpdaterReply|Lifecycle|QueryInterface|SlotOrder'
    suites+='|RegUtilTest|RegistryViewRuleTest|StandinSmokeTest|package'
    # A callback that throws ends a 32-bit mingw-w64 process (see the README);
    # the documentation's programs are built for 64 bits.
    if ! run_ctest -LE kills_service -R "(^|/)(${suites})\." -E 'ConnectionsTest\.AThrowingCallback|^package\.docs$' "$@"; then
      failed_phases=$((failed_phases + 1))
    fi
  elif [ "$x86_rc" -ne 3 ]; then
    failed_phases=$((failed_phases + 1))
  fi
fi

rm -f "$log"
# Every test that passed only when run again, by name: the goal is none.
echo "tests that needed a second run: $second_runs"
for test in "${second_run_passes[@]}"; do
  echo "passed only on its second run (its first run ended without output): $test"
done
for f in "$silent_log" "${x86_build:-}/silent-starts.log"; do
  if [ -s "$f" ]; then echo "Wine's output and exit code of each start that ended without output: $f"; fi
done
# What each test program killed at its time limit had printed (tools/wine-run.sh
# leaves its output files behind only then).
for dir in "$build/run-output" "${x86_build:-}/run-output"; do
  for command in "$dir"/*.command; do
    [ -e "$command" ] || continue
    base=${command%.command}
    echo "== killed at its time limit: $(cat "$command"); its last output lines:"
    tail -n 15 "$base" 2>/dev/null || true
    tail -n 15 "${base%.out}.err" 2>/dev/null || true
  done
done
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
