#!/usr/bin/env bash
# Runs every fuzz target for SECONDS (default 60) from its checked-in seeds (fuzz/corpus/<target>),
# building the fuzz preset first if needed. Prints, per target, the inputs run, inputs a second and
# findings; exits non-zero when any target found something. Before that, every input kept in
# fuzz/regressions/<target>/ (findings not yet fixed, each named for what it shows) is run once:
# one that still fails counts as a finding. Findings of the latest run (the
# input that crashed, leaked, hung or allocated past the limit) land in
# build/fuzz/findings/<target>/, its log in build/fuzz/<target>.log; inputs that
# reached new code in build/fuzz/corpus/<target>/ (copy the useful ones into the seeds).
#   XNQ_FUZZ_TARGETS="audiofile_fuzz ..."  only these targets
#   XNQ_FUZZ_JOBS=N                        targets run at once (default: the number of cores)
set -euo pipefail
seconds=${1:-60}
[[ "$seconds" =~ ^[0-9]+$ ]] || { echo "usage: scripts/fuzz.sh [SECONDS]" >&2; exit 2; }
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bash scripts/setup.sh --fuzz >/dev/null
build=build/fuzz
[ -f "$build/build.ninja" ] || cmake --preset fuzz >/dev/null
cmake --build --preset fuzz >/dev/null

targets=${XNQ_FUZZ_TARGETS:-$(cd fuzz && ls ./*_fuzz.cpp | sed 's|^\./||; s|\.cpp$||')}
jobs=${XNQ_FUZZ_JOBS:-$(nproc)}
# One input may allocate at most 256 MB at once and 2 GB in all: past that is a finding (a buffer
# sized by a number an input claims), not a slow input. Leaks are findings too, but they are
# looked for in a pass of their own over every input a run kept: libsndfile leaks a little on
# each Ogg file it rejects, and the leak scan after every such input would halve the rate.
export ASAN_OPTIONS="allocator_may_return_null=1:${ASAN_OPTIONS:-}"
export LSAN_OPTIONS="suppressions=$root/fuzz/lsan_suppressions.txt:${LSAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:${UBSAN_OPTIONS:-}"

run_one() {
  local t=$1 work="$build/corpus/$1" found="$build/findings/$1"
  rm -rf "$found"
  mkdir -p "$work" "$found"
  local TIMEFORMAT='%U %S'
  { time "$build/fuzz/$t" "$work" "fuzz/corpus/$t" -max_total_time="$seconds" "${limits[@]}" \
    -detect_leaks=0 -max_len=65536 -print_final_stats=1 -artifact_prefix="$found/" \
    >"$build/$t.log" 2>&1 || true; } 2>"$build/$t.cpu"
  # The leak pass: each kept input once, with the leak checks.
  "$build/fuzz/$t" "$work" "fuzz/corpus/$t" -runs=0 "${limits[@]}" -detect_leaks=1 \
    -max_len=65536 -artifact_prefix="$found/" >"$build/$t.leaks.log" 2>&1 || true
}

mkdir -p "$build"
limits=(-timeout=20 -rss_limit_mb=2048 -malloc_limit_mb=256)
status=0
for t in $targets; do
  for input in fuzz/regressions/"$t"/*; do
    [ -f "$input" ] || continue
    if ! "$build/fuzz/$t" "${limits[@]}" "$input" >"$build/$t.regression.log" 2>&1; then
      echo "$t: $(basename "$input") still fails: $(grep -m1 -o 'ERROR: .*' "$build/$t.regression.log")"
      status=1
    fi
  done
done

running=0
for t in $targets; do
  run_one "$t" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then wait -n || true; running=$((running - 1)); fi
done
wait

# Inputs a second of the target's own CPU time too: on a machine shared with other work the
# clock rate says as much about the machine's load as about the target.
printf '%-22s %12s %10s %14s %9s\n' target inputs inputs/s "inputs/CPU-s" findings
for t in $targets; do
  log="$build/$t.log"
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  # An input slower than 10 s (libFuzzer's slow-unit report) is listed, not counted: on a busy
  # machine the clock, not the input, may be slow.
  findings=$(find "$build/findings/$t" -type f ! -name 'slow-unit-*' | wc -l)
  slow=$(find "$build/findings/$t" -type f -name 'slow-unit-*' | wc -l)
  # A target that ended without its final statistics stopped on a finding.
  if [ -z "$runs" ] || grep -q 'ERROR: \|^SUMMARY: ' "$log" "$build/$t.leaks.log"; then
    [ "$findings" -gt 0 ] || findings=1
  fi
  cpu=$(awk -v n="${runs:-0}" '{c = $1 + $2} END {if (c > 0) printf "%.0f", n / c; else print "?"}' \
    "$build/$t.cpu")
  printf '%-22s %12s %10s %14s %9s\n' "$t" "${runs:-?}" "${rate:-?}" "$cpu" "$findings"
  if [ "$findings" -gt 0 ]; then
    status=1
    grep -h -m3 -E 'ERROR|SUMMARY|Test unit written' "$log" "$build/$t.leaks.log" |
      sed 's/^/    /' || true
  fi
  [ "$slow" -eq 0 ] || echo "    $slow input(s) slower than 10 s: build/fuzz/findings/$t/slow-unit-*"
done
exit $status
