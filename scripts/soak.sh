#!/usr/bin/env bash
# Plays HOURS of audio (default 10) through each playing class on free-running devices and checks
# every frame, no underflow and flat resident memory (stress/soak.cpp). Runs the optimized x86-64
# build, building what is missing; ten hours of audio take well under an hour.
set -euo pipefail
hours=${1:-10}
[[ "$hours" =~ ^[0-9]+([.][0-9]+)?$ ]] || { echo "usage: scripts/soak.sh [HOURS]" >&2; exit 2; }
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
[ -f build/x86_64/build.ninja ] || cmake --preset x86_64 >/dev/null
cmake --build --preset x86_64 --target xnq_soak >/dev/null
exec build/x86_64/stress/xnq_soak "$hours"
