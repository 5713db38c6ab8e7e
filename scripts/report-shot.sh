#!/usr/bin/env bash
# By hand, not in CI: renders the demo's composition report (vl report --html)
# in headless Chromium and saves a PNG, to look at what users will see.
#
#   scripts/report-shot.sh [OUT.png]      (default: build/demo-report.png)
#
# Runs scripts/demo.sh first when build/demo-report.html is missing (or when
# REDO=1).  Installs Debian's chromium when it is not there (as root).
set -euo pipefail
cd "$(dirname "$0")/.."
checkout=$(pwd)
out=$(realpath -m "${1:-build/demo-report.png}")
page="$checkout/build/demo-report.html"

if [[ ! -f "$page" || "${REDO:-0}" == 1 ]]; then
  scripts/demo.sh
fi
if ! command -v chromium >/dev/null; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends chromium
fi

profile=$(mktemp -d /tmp/vl-report-shot.XXXXXX)
trap 'rm -rf "$profile"' EXIT
chromium --headless --no-sandbox --disable-gpu --no-first-run --disable-background-networking \
  --disable-component-update --disable-sync --user-data-dir="$profile" \
  --hide-scrollbars --window-size=1280,2400 --screenshot="$out" "file://$page" 2>"$profile/stderr" || {
  cat "$profile/stderr" >&2
  exit 1
}
echo "screenshot: $out"
