#!/usr/bin/env bash
# Builds the libFuzzer targets with clang++-14 into build/fuzz and runs each
# for a bounded time (FUZZ_SECONDS, default 15 s a target). Exits non-zero
# when a target crashes; skips (exit 0) when clang is not available.
#
#   tools/run_fuzz.sh           the short run of CI
#   tools/run_fuzz.sh --long    a campaign: 30 minutes a target unless
#                               FUZZ_SECONDS says otherwise
#   FUZZ_TARGETS="token_stream_fuzz" tools/run_fuzz.sh --long   chosen targets only
#
# Each target starts from its seeds in tests/data/fuzz/<target> and from the
# inputs earlier runs found, kept in build/fuzz/corpus/<target>; a crashing
# input is written to build/fuzz/ (crash-*, timeout-*, oom-*) and the log of
# each target to build/fuzz/<target>.log.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
default_seconds=15
if [ "${1:-}" = "--long" ]; then
  default_seconds=1800
  shift
fi
if [ $# -ne 0 ]; then
  echo "usage: $0 [--long]" >&2
  exit 2
fi
seconds="${FUZZ_SECONDS:-$default_seconds}"
cxx="${FUZZ_CXX:-clang++-14}"

if ! command -v "$cxx" >/dev/null 2>&1; then
  echo "fuzz: skipped, $cxx is not available"
  exit 0
fi

build="$root/build/fuzz"
generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
CXX="$cxx" cmake -S "$root" -B "$build" "${generator[@]}" \
  -DMIRA_BUILD_PYTHON=OFF -DMIRA_BUILD_TESTS=OFF -DMIRA_BUILD_FUZZ=ON >/dev/null
cmake --build "$build" -j2

status=0
for target in "$build"/*_fuzz; do
  [ -x "$target" ] || continue
  name="$(basename "$target")"
  if [ -n "${FUZZ_TARGETS:-}" ] && [[ " $FUZZ_TARGETS " != *" $name "* ]]; then
    continue
  fi
  corpus="$build/corpus/$name"
  mkdir -p "$corpus"
  seeds="$root/tests/data/fuzz/$name"
  echo "fuzz: running $name for ${seconds}s"
  if ! "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$build/" "$corpus" $( [ -d "$seeds" ] && echo "$seeds" ) \
      >"$build/$name.log" 2>&1; then
    tail -n 40 "$build/$name.log"
    echo "fuzz: $name FAILED (log: $build/$name.log)"
    status=1
  else
    grep -E "^(#[0-9]+\s+DONE|Done)" "$build/$name.log" | tail -n 1 || true
    echo "fuzz: $name passed"
  fi
done
exit "$status"
