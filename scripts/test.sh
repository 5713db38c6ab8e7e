#!/usr/bin/env bash
# Runs every test: the C++ unit tests, a short fixed run of the fuzz
# targets, the Python suite on the machine's CPython 3.11, and the Python
# suite on CPython 3.14 inside a Debian testing root (built once, cached
# outside the checkout).  Sets up what is missing.
# Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

scripts/setup.sh

echo "== C++ unit tests"
if [ ! -f build/cpp/build.ninja ]; then
    meson setup build/cpp -Dbuildtype=debugoptimized >/dev/null
fi
meson test -C build/cpp --print-errorlogs

echo "== fuzz targets (build, seeds and a fixed run)"
bash fuzz/run.sh --smoke

echo "== Python $(.venv/bin/python -c 'import sys; print(sys.version.split()[0])')"
# -P, and a directory of its own for the tests' child interpreters, keep the
# checkout's vl/ (which has no compiled module) off sys.path, so the
# installed package is what gets tested.
(cd "$(mktemp -d)" && "$repo/.venv/bin/python" -P -m pytest -q -p no:cacheprovider "$repo/tests" "$@")

echo "== Python 3.14"
root=$(scripts/py314-root.sh)
src="$root/tmp/vl-src"
rm -rf "$src"
mkdir -p "$src"
tar -C "$repo" --exclude=./.git --exclude=./.venv --exclude=./build -cf - . | tar -C "$src" -xf -
mounted=""
if ! mountpoint -q "$root/proc" && mount -t proc proc "$root/proc" 2>/dev/null; then
    mounted=yes
fi
cleanup() { [ -z "$mounted" ] || umount "$root/proc" 2>/dev/null || true; }
trap cleanup EXIT
args=""
for a in "$@"; do args="$args '${a//\'/\'\\\'\'}'"; done
chroot "$root" /bin/sh -ec "
    cd /tmp/vl-src
    [ -x /tmp/vl-venv/bin/python ] || python3.14 -m venv --system-site-packages /tmp/vl-venv
    /tmp/vl-venv/bin/python -m pip install -q --no-build-isolation --no-deps --no-index . >&2
    cd \$(mktemp -d)
    /tmp/vl-venv/bin/python -P -m pytest -q -p no:cacheprovider /tmp/vl-src/tests $args
"
