#!/usr/bin/env bash
# The kit's sample hall, built from the kit's files alone, runs the kit's page
# against the built library, registered with regsvr32 as a hall developer
# would, in code page 936: what each window receives, byte for byte.
#   sample_hall_test.sh WINE_RUN DLL HALL PAGE
set -uo pipefail
wine_run=$1 dll=$2 hall=$3 page=$4

winpath() { printf 'Z:%s' "$1" | tr '/' '\\'; }

"$wine_run" regsvr32 /s "$(winpath "$dll")" || { echo "regsvr32 could not register $dll"; exit 1; }
trap '"$wine_run" regsvr32 /u /s "$(winpath "$dll")"' EXIT
out=$("$wine_run" "$hall" "$(winpath "$page")")
status=$?
out=${out//$'\r'/}
printf '%s\n' "$out"

failed=0
expect() {
    if ! grep -qxF -- "$1" <<<"$out"; then
        echo "FAILED: no line: $1"
        failed=1
    fi
}
expect 'page: GetVer() = 1'
expect 'hall: window "K318HallHideWindows" got request 12: "room=7 房间" (11 bytes: 72 6f 6f 6d 3d 37 20 b7 bf bc e4)'
expect 'hall: window "K318HallHideWindows7" got request 42: "video=42" (8 bytes: 76 69 64 65 6f 3d 34 32)'
expect 'page: WScript.Shell refused: 0x800A01AD'
expect 'hall: the page ran to its end'
if grep -q 'got request 13' <<<"$out"; then
    echo "FAILED: the request within the same second reached the hall"
    failed=1
fi
if [ "$status" -ne 0 ]; then
    echo "FAILED: the sample hall exited with $status"
    failed=1
fi
exit $failed
