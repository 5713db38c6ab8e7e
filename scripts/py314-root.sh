#!/usr/bin/env bash
# Builds (once) a Debian testing root that carries CPython 3.14 and the build
# tool chain, so the suite also runs against the interpreter we target.  The
# root lives outside the checkout and is reused while its stamp matches the
# package list below.  Prints the root's path.
set -euo pipefail

ROOT="${VL_PY314_ROOT:-/var/cache/vl/py314-root}"
STAMP="$ROOT/.vl-root-packages"
PKGS="python3.14-dev,python3.14-venv,python3-mesonpy,meson,ninja-build,python3-pytest,python3-hypothesis,python3-click,python3-rich,python3-numpy,python3-matplotlib,g++,pkg-config,libssl-dev,libtbb-dev,libgtest-dev"

if [ -f "$STAMP" ] && [ "$(cat "$STAMP")" = "$PKGS" ]; then
    echo "$ROOT"
    exit 0
fi

if ! command -v mmdebstrap >/dev/null; then
    apt-get update -qq >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq mmdebstrap >&2
fi

echo "building the CPython 3.14 root in $ROOT (once)" >&2
rm -rf "$ROOT.tmp"
mkdir -p "$(dirname "$ROOT")"
mmdebstrap --quiet --variant=apt --include="$PKGS" \
    --aptopt='Acquire::Check-Valid-Until "false"' \
    testing "$ROOT.tmp" http://deb.debian.org/debian >&2
rm -rf "$ROOT"
mv "$ROOT.tmp" "$ROOT"
echo "$PKGS" > "$STAMP"
echo "$ROOT"
