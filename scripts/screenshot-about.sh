#!/bin/sh
# Renders the About box off screen into a PNG, through the widget test's screenshot mode.
# Usage: scripts/screenshot-about.sh [tst_frmabout executable] [output.png]
# Builds nothing: build the tst_frmabout target first.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
exe=${1:-${QUORVEL_ABOUT_TEST:-$root/build/release/tests/about/tst_frmabout}}
out=${2:-/tmp/about.png}

if [ ! -x "$exe" ]; then
    echo "screenshot-about: no test program at $exe (build tst_frmabout, or pass its path)" >&2
    exit 1
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
rm -f "$out"
QT_QPA_PLATFORM=offscreen QUORVEL_TEST_TMP="$scratch" XDG_CONFIG_HOME="$scratch/config" \
    XDG_RUNTIME_DIR="$scratch" QUORVEL_SCREENSHOT="$out" "$exe" screenshot
test -s "$out"
echo "$out"
