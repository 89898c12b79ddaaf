#!/usr/bin/env bash
# Builds the libFuzzer targets with clang++-14 into build/fuzz and runs each
# for a bounded time. Exits non-zero when a target crashes; skips (exit 0)
# when clang is not available.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${FUZZ_SECONDS:-20}"
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
