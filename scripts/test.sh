#!/usr/bin/env bash
# Installs what is missing, then builds and tests every leg: i386 (the reference build), x86-64,
# x86-64 with the address and undefined-behaviour sanitizers, and x86-64 with the thread
# sanitizer. Ends with where the time went.
#   XNQ_LEGS="i386 asan"   only these legs
#   then one test:         ctest --preset LEG -R NAME   (after the leg was built)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
timings=()
stamp=$SECONDS
lap() {
  timings+=("$(printf '%-22s %5d s' "$1" $((SECONDS - stamp)))")
  stamp=$SECONDS
}

bash scripts/setup.sh
lap setup

# Every source is formatted with the project's clang-format settings.
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git ls-files '*.c' '*.cpp' '*.h'
else
  find plugin platform host tools tests bench fuzz stress -name '*.cpp' -o -name '*.h' -o -name '*.c'
fi | xargs clang-format --dry-run --Werror
lap format

legs=${XNQ_LEGS:-"i386 x86_64 asan tsan"}
for leg in $legs; do
  echo "== $leg"
  cmake --preset "$leg" >/dev/null
  cmake --build --preset "$leg"
  lap "$leg build"
  case "$leg" in
    tsan) TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --preset tsan ;;
    asan) ASAN_OPTIONS="detect_leaks=1" ctest --preset asan ;;
    *) ctest --preset "$leg" ;;
  esac
  lap "$leg tests"
done
echo "== time"
printf '%s\n' "${timings[@]}"
