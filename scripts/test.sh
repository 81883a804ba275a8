#!/usr/bin/env bash
# Installs what is missing, then builds and tests every leg: i386 (the reference build), x86-64,
# x86-64 with the address and undefined-behaviour sanitizers, and x86-64 with the thread
# sanitizer.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bash scripts/setup.sh

legs=${XNQ_LEGS:-"i386 x86_64 asan tsan"}
for leg in $legs; do
  echo "== $leg"
  cmake --preset "$leg" >/dev/null
  cmake --build --preset "$leg"
  case "$leg" in
    tsan) TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --preset tsan ;;
    asan) ASAN_OPTIONS="detect_leaks=1" ctest --preset asan ;;
    *) ctest --preset "$leg" ;;
  esac
done
