#!/usr/bin/env bash
# Installs what the project needs on a fresh Debian 12 machine: the toolchain, the i386 and
# x86-64 development packages, and GoogleTest built for i386 from the Debian source package.
# Safe to run again; it skips what is already in place.
#   scripts/setup.sh            what the build, the tools and the tests need
#   scripts/setup.sh --fuzz     and clang with its fuzzer runtime (scripts/fuzz.sh)
#   scripts/setup.sh --bench    and Google Benchmark (bench/, built by the x86_64 preset)
set -euo pipefail

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

PKGS_NATIVE=(build-essential cmake ninja-build pkg-config g++-multilib gcc-multilib
  clang-format googletest libgtest-dev
  libffi-dev libsndfile1-dev libasound2-dev libutf8proc-dev libsoxr-dev librubberband-dev
  alsa-utils sox rubberband-cli)
# The test command needs neither clang (only the fuzz build uses it; clang-format comes alone)
# nor Google Benchmark: 12 of the 258 MB a fresh machine downloads, 90 MB unpacked.
for extra in "$@"; do
  case "$extra" in
    --fuzz) PKGS_NATIVE+=(clang libclang-rt-14-dev) ;;
    --bench) PKGS_NATIVE+=(libbenchmark-dev) ;;
    *) echo "usage: scripts/setup.sh [--fuzz] [--bench]" >&2; exit 2 ;;
  esac
done
PKGS_I386=(libc6-dev:i386 libstdc++-12-dev:i386 libffi-dev:i386 libsndfile1-dev:i386
  libasound2-dev:i386 libutf8proc-dev:i386 libsoxr-dev:i386 librubberband-dev:i386)

missing=()
for p in "${PKGS_NATIVE[@]}" "${PKGS_I386[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
  missing+=(force-update)
fi
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  # A mirror mid-sync can fail one index; retry, then go on with what was fetched.
  for try in 1 2 3; do $SUDO apt-get update -qq && break; sleep 5; done || true
  # The i386 and amd64 copies of a multi-arch library must have one version. When a mirror
  # serves the two architectures at different versions (an index mid-sync), pin the pair to the
  # version that the i386 side has and try again.
  pins=()
  for attempt in 1 2 3 4 5 6; do
    # Unpacking without a sync after every file (about 1 GB in some 20,000 files on a fresh
    # machine); an install cut short is simply run again.
    if out=$($SUDO apt-get install -y -q --no-install-recommends --allow-downgrades \
        -o Dpkg::Options::=--force-unsafe-io \
        "${PKGS_NATIVE[@]}" "${PKGS_I386[@]}" "${pins[@]}" 2>&1); then
      break
    fi
    lagging=$(printf '%s\n' "$out" | sed -n 's/.*Depends: \([^ ]*\):i386.*not going to be installed.*/\1/p' | sort -u)
    [ -n "$lagging" ] || { printf '%s\n' "$out" >&2; exit 1; }
    for p in $lagging; do
      v=$(apt-cache policy "$p:i386" | sed -n 's/ *Candidate: //p')
      pins+=("$p:amd64=$v" "$p:i386=$v")
    done
  done
fi

# GoogleTest for i386, built once from the source package into a project-local prefix.
root="$(cd "$(dirname "$0")/.." && pwd)"
gt="$root/.deps/googletest-i386"
if [ ! -f "$gt/lib/libgtest.a" ]; then
  rm -rf "$root/.deps/gtest-build-i386"
  cmake -S /usr/src/googletest -B "$root/.deps/gtest-build-i386" -G Ninja \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS=-m32 -DCMAKE_CXX_FLAGS=-m32 \
    -DCMAKE_INSTALL_PREFIX="$gt" -DBUILD_GMOCK=OFF >/dev/null
  cmake --build "$root/.deps/gtest-build-i386" >/dev/null
  cmake --install "$root/.deps/gtest-build-i386" >/dev/null
fi
echo "setup: done"
