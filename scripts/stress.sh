#!/usr/bin/env bash
# Runs the stress program (stress/) for SECONDS in the sanitizer legs: first under the address
# and undefined-behaviour sanitizers, then under the thread sanitizer, each for SECONDS. Builds
# what is missing. Extra arguments name cases (xnq_stress --list).
#   XNQ_LEGS="asan"   one leg only
set -euo pipefail
seconds=${1:-60}
[[ "$seconds" =~ ^[0-9]+$ ]] || { echo "usage: scripts/stress.sh SECONDS [CASE...]" >&2; exit 2; }
shift || true
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
status=0
for leg in ${XNQ_LEGS:-asan tsan}; do
  [ -f "build/$leg/build.ninja" ] || cmake --preset "$leg" >/dev/null
  cmake --build --preset "$leg" --target xnq_stress >/dev/null
  echo "== $leg: xnq_stress $seconds $*"
  ASAN_OPTIONS="detect_leaks=1:${ASAN_OPTIONS:-}" \
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 history_size=7 suppressions=$root/stress/tsan_suppressions.txt ${TSAN_OPTIONS:-}" \
    "build/$leg/stress/xnq_stress" "$seconds" "$@" || status=$?
done
exit $status
