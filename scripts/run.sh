#!/usr/bin/env bash
# Sets up, builds the x86-64 leg, and runs xnq with the given arguments in the caller's folder,
# so that file names are the caller's: `bash path/to/scripts/run.sh play song.flac` works from
# anywhere.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
(
  cd "$root"
  bash scripts/setup.sh >/dev/null
  cmake --preset x86_64 >/dev/null
  cmake --build --preset x86_64 --target xnq >/dev/null
)
exec "$root/build/x86_64/tools/xnq/xnq" "$@"
