#!/usr/bin/env bash
# make demo: registers the built Tarnwick.dll with the real regsvr32 in the
# demo's own Wine prefix, then runs the hall simulator on a page script.
#   run-demo.sh WINE_RUN DLL HALL_SIM PAGE
set -euo pipefail
wine_run=$1 dll=$2 hall=$3 page=$4

winpath() { printf 'Z:%s' "$1" | tr '/' '\\'; }

"$wine_run" --init
echo "regsvr32 /s $(winpath "$dll")"
if ! "$wine_run" regsvr32 /s "$(winpath "$dll")"; then
    echo "run-demo: regsvr32 could not register $dll" >&2
    exit 1
fi
echo
"$wine_run" "$hall" "$(winpath "$page")"
