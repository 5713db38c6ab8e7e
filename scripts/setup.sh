#!/usr/bin/env bash
# Prepares this checkout on a Debian 12 machine: the Debian packages the
# build and the tests need, a virtual environment in .venv made from the
# system Python (so Debian's meson-python, pytest and hypothesis are seen),
# and vl built and installed into it.  Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."

PKGS="g++ meson ninja-build pkg-config python3-dev python3-mesonpy libssl-dev libtbb-dev \
python3-click python3-rich python3-numpy python3-matplotlib python3-dask python3-distributed \
python3-pytest python3-hypothesis python3-venv libgtest-dev mmdebstrap clang libclang-rt-14-dev"

missing=""
for p in $PKGS; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    echo "installing Debian packages:$missing" >&2
    SUDO=""; [ "$(id -u)" = 0 ] || SUDO=sudo
    $SUDO apt-get update -qq >&2
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq $missing >&2
fi

if [ ! -x .venv/bin/python ]; then
    /usr/bin/python3 -m venv --system-site-packages .venv
fi
# The build directory is kept, so a second run only rebuilds what changed.
# (meson-python reconfigures it, so it must already be a build tree.)
[ -f build/py/build.ninja ] || meson setup build/py >/dev/null
.venv/bin/python -m pip install -q --no-build-isolation --no-deps --no-index \
    --config-settings=builddir=build/py . >&2
