#!/usr/bin/env bash
# Runs the Python suite (and the C++ unit tests) against a build with
# AddressSanitizer and UndefinedBehaviorSanitizer.  The interpreter itself is
# not instrumented, so the ASan runtime is preloaded and leak checking (which
# would report the interpreter's own allocations) is off.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
scripts/setup.sh

build=build/asan
if [ ! -f $build/build.ninja ]; then
    meson setup $build -Dbuildtype=debug -Db_sanitize=address,undefined -Db_lundef=false >/dev/null
fi
ninja -C $build >/dev/null
meson test -C $build --print-errorlogs

pkg=$build/pkg
rm -rf $pkg && mkdir -p $pkg/vl
cp vl/*.py vl/*.pyi vl/py.typed $pkg/vl/
cp $build/_vl_native*.so $build/_vl_bulk*.so $pkg/vl/

export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
export PYTHONPATH="$repo/$pkg"
# From a directory of its own, so that child interpreters started by the
# tests do not find the checkout's vl/ (which has no compiled module).
cd "$(mktemp -d)"
"$repo/.venv/bin/python" -P -m pytest -q -p no:cacheprovider "$repo/tests" "$@"
