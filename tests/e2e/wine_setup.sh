#!/usr/bin/env bash
# Unpacks the Windows zip into DIR and makes the Wine prefix that each test
# server starts from a copy of: DIR/<the zip's folder>/ and DIR/prefix.
# Usage: wine_setup.sh ZIP DIR
set -euo pipefail
zip=$1 dir=$2
rm -rf "$dir"
mkdir -p "$dir"
python3 -m zipfile -e "$zip" "$dir"
export WINEPREFIX=$dir/prefix WINEDLLOVERRIDES="mscoree,mshtml=" WINEDEBUG=-all
# No display: the prefix needs none, and no window may open anywhere.
env -u DISPLAY wineboot -i
wineserver -w
test -f "$WINEPREFIX/system.reg"
