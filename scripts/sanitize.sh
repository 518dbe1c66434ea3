#!/bin/sh
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# into its own virtual environment (.venv-asan, build tree build/asan) and
# runs the test suite under it. Any sanitizer report fails the run: ASan and
# UBSan abort the interpreter at the first error, and LeakSanitizer turns a
# leak that the suppressions in tests/lsan.supp do not cover into a non-zero
# exit status.
#
# Extra arguments go to pytest. The whole suite runs, slow tests included
# (a few minutes); TABLORA_SANITIZE_SKIP_SLOW=1 leaves the slow ones out.
set -eu
cd "$(dirname "$0")/.."

VENV=.venv-asan
PY="$VENV/bin/python"

if [ ! -x "$PY" ]; then
  "$(scripts/find-python)" -m venv "$VENV"
  "$PY" -m pip install -q --upgrade pip
  "$PY" -m pip install -q scikit-build-core cmake ninja
fi

# Debug information in the sanitizer build gives reports with file and line.
TABLORA_SANITIZE=ON \
SKBUILD_BUILD_DIR=build/asan \
SKBUILD_CMAKE_BUILD_TYPE=RelWithDebInfo \
  "$PY" -m pip install -q --no-build-isolation '.[test]'

runtime() {
  path=$(${CXX:-c++} -print-file-name="$1")
  case "$path" in
    /*) [ -e "$path" ] && { echo "$path"; return 0; } ;;
  esac
  echo "sanitize.sh: the compiler has no $1" >&2
  exit 1
}
ASAN_LIB=$(runtime libasan.so)
UBSAN_LIB=$(runtime libubsan.so)

if [ "${TABLORA_SANITIZE_SKIP_SLOW:-0}" = 1 ]; then
  selection="not slow"
else
  selection=""
fi

# The test run itself: a report of any kind stops it with a failure.
status=0
LD_PRELOAD="$ASAN_LIB:$UBSAN_LIB" \
PYTHONMALLOC=malloc \
ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:halt_on_error=1:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1" \
LSAN_OPTIONS="suppressions=$(pwd)/tests/lsan.supp:print_suppressions=0:exitcode=23" \
UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1" \
  "$PY" -m pytest -q -p no:cacheprovider ${selection:+-m "$selection"} "$@" || status=$?

if [ "$status" -ne 0 ]; then
  echo "sanitize.sh: the sanitizer run failed (exit status $status)" >&2
fi
exit "$status"
