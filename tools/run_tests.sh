#!/usr/bin/env bash
# Runs the whole test suite from a fresh clone, installing what it needs:
#   C++ unit tests (plain and under AddressSanitizer + UndefinedBehaviorSanitizer),
#   a short fuzz run when clang is available, the distributions (sdist, wheel
#   built from the sdist, twine check, content checks and a smoke test of the
#   wheel in a fresh virtual environment), and the Python tests with the
#   extras test, milvus, serve and langchain (on 3.11 also llama-index):
#   on Python 3.11 against that wheel, on
#   Python 3.9 against a fresh `pip install .`.
# Exits non-zero when any step fails; every step runs regardless.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${MIRA_BUILD_DIR:-$ROOT/build}
JOBS=${MIRA_JOBS:-2}
mkdir -p "$BUILD"
failures=()

step() { printf '\n==== %s (at %d s) ====\n' "$*" "$SECONDS"; }

apt_install() {
  local missing=()
  for pkg in "$@"; do dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg"); done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ -z "${MIRA_APT_UPDATED:-}" ]; then
    apt-get update -qq >/dev/null 2>&1 || true
    MIRA_APT_UPDATED=1
  fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null 2>&1
}

find_python() {  # find_python 3.9 -> path of an interpreter of that version
  local v=$1 p
  for p in "$HOME"/.pyenv/versions/"$v".*/bin/python"$v" "$(command -v "python$v" 2>/dev/null)"; do
    [ -x "$p" ] && "$p" -c 'pass' >/dev/null 2>&1 && { echo "$p"; return 0; }
  done
  return 1
}

step "Installing build tools"
apt_install libgtest-dev || { echo "could not install libgtest-dev"; failures+=("apt"); }
# Debian's chromium, for the search page's browser test, installs while the C++ tests build.
apt_install chromium >/dev/null 2>&1 &
browser_install=$!
if ! command -v cmake >/dev/null || ! command -v ninja >/dev/null; then
  python3 -m venv "$BUILD/venv-tools" && "$BUILD/venv-tools/bin/pip" install -q cmake ninja
  export PATH="$BUILD/venv-tools/bin:$PATH"
fi

cpp_tests() {  # cpp_tests NAME [cmake options...]
  local name=$1; shift
  step "C++ tests ($name)"
  cmake -S "$ROOT" -B "$BUILD/$name" -G Ninja -DMIRA_BUILD_PYTHON=OFF -DMIRA_BUILD_TESTS=ON "$@" >/dev/null &&
    cmake --build "$BUILD/$name" -j "$JOBS" &&
    ctest --test-dir "$BUILD/$name" --output-on-failure -j "$JOBS" || failures+=("C++ tests ($name)")
}
cpp_tests cpp
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  cpp_tests asan -DMIRA_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo

wait "$browser_install" || echo "chromium cannot be installed: the browser test is skipped"

if [ -x tools/run_fuzz.sh ]; then
  step "Fuzzing (bounded)"
  apt_install clang-14 libclang-rt-14-dev || echo "clang unavailable"
  MIRA_BUILD_DIR="$BUILD" tools/run_fuzz.sh || failures+=("fuzz")
fi

dist_checks() {  # builds the distributions as a release would and tries the wheel
  local py out="$BUILD/dist" tools="$BUILD/venv-dist-tools" fresh="$BUILD/venv-dist-smoke"
  step "Distributions (sdist, wheel built from it, smoke test of the wheel)"
  if ! py=$(find_python 3.11); then failures+=("Python 3.11 not found (distributions)"); return; fi
  rm -rf "$out"
  "$py" -m venv --clear "$tools" &&
    "$tools/bin/pip" install -q --upgrade pip build twine 2> >(grep -v "is ignored: it is neither" >&2) &&
    { "$tools/bin/python" -m build --outdir "$out" "$ROOT" >"$BUILD/dist-build.log" 2>&1 ||
        { tail -n 30 "$BUILD/dist-build.log"; false; }; } &&
    "$tools/bin/twine" check --strict "$out"/*.tar.gz "$out"/*.whl &&
    "$tools/bin/python" tools/check_dist.py sdist "$out"/*.tar.gz &&
    "$tools/bin/python" tools/check_dist.py wheel "$out"/*.whl &&
    "$py" -m venv --clear "$fresh" &&
    "$fresh/bin/pip" install -q "$out"/*.whl 2> >(grep -v "is ignored: it is neither" >&2) &&
    (cd "$BUILD" && "$fresh/bin/python" "$ROOT/tools/check_dist.py" smoke) ||
    failures+=("Distributions")
}
dist_checks

python_tests() {  # python_tests 3.11 [WHEEL [EXTRAS]]: against WHEEL if given, else a build of the tree
  local v=$1 target=${2:-$ROOT} extras=${3:-test,milvus,serve} py venv
  step "Python $v tests"
  if ! py=$(find_python "$v"); then failures+=("Python $v not found"); return; fi
  venv="$BUILD/venv-$v"
  "$py" -m venv --clear "$venv" &&
    "$venv/bin/pip" install -q --upgrade pip >/dev/null &&
    { "$venv/bin/pip" install -q "$target[$extras]" 2> >(grep -v "is ignored: it is neither" >&2) ||
      { echo "the extras $extras cannot all be installed: the tests of those missing are skipped";
        "$venv/bin/pip" install -q "$target[test]" 2> >(grep -v "is ignored: it is neither" >&2); }; } &&
    (cd "$BUILD" && "$venv/bin/python" -m pytest -q -rs -p no:cacheprovider "$ROOT/tests/python") ||
    failures+=("Python $v tests")
}
# Python 3.11 runs against the wheel just built and checked (one build of the
# extension fewer); 3.9 builds from the tree.
# LlamaIndex does not import on 3.9 (a dependency of llama-index-core uses
# 3.10 syntax), so 3.9 tries the LangChain retriever only.
python_tests 3.11 "$(ls "$BUILD"/dist/*-cp311-*.whl 2>/dev/null | head -n 1)" test,milvus,serve,langchain,llama-index
python_tests 3.9 "" test,milvus,serve,langchain

step "Summary"
if [ ${#failures[@]} -ne 0 ]; then
  printf 'FAILED: %s\n' "${failures[@]}"
  exit 1
fi
echo "all test steps passed"
