#!/usr/bin/env bash
# Sets up, builds the x86-64 leg, and runs xnq with the given arguments.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bash scripts/setup.sh >/dev/null
cmake --preset x86_64 >/dev/null
cmake --build --preset x86_64 --target xnq >/dev/null
exec "$root/build/x86_64/tools/xnq/xnq" "$@"
