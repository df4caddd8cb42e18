#!/usr/bin/env bash
# The kit's sample hall, built from the kit's files alone, runs the kit's page
# against the built library, registered with regsvr32 as a hall developer
# would, in code page 936: what each window receives, byte for byte. Then
# again under the kit's sample site lock (site-lock.reg, beside the page):
# the page from an allowed site runs as before, a page from another site
# reaches nothing.
#   sample_hall_test.sh WINE_RUN DLL HALL PAGE
set -uo pipefail
wine_run=$1 dll=$2 hall=$3 page=$4
lock=$(dirname "$page")/site-lock.reg

winpath() { printf 'Z:%s' "$1" | tr '/' '\\'; }
unlock() { "$wine_run" reg delete 'HKLM\SOFTWARE\Policies\Tarnwick' /f >/dev/null 2>&1; }

"$wine_run" regsvr32 /s "$(winpath "$dll")" || { echo "regsvr32 could not register $dll"; exit 1; }
trap 'unlock; "$wine_run" regsvr32 /u /s "$(winpath "$dll")"' EXIT
unlock

failed=0
out='' status=0
run() {
    echo "== $1"
    shift
    out=$("$wine_run" "$hall" "$(winpath "$page")" "$@")
    status=$?
    out=${out//$'\r'/}
    printf '%s\n' "$out"
}
fail() { echo "FAILED: $1"; failed=1; }
expect() { grep -qxF -- "$1" <<<"$out" || fail "no line: $1"; }
expect_page_ran() {
    expect 'page: GetVer() = 1'
    expect 'hall: window "K318HallHideWindows" got request 12: "room=7 房间" (11 bytes: 72 6f 6f 6d 3d 37 20 b7 bf bc e4)'
    expect 'hall: window "K318HallHideWindows7" got request 42: "video=42" (8 bytes: 76 69 64 65 6f 3d 34 32)'
    expect 'page: WScript.Shell refused: 0x800A01AD'
    expect 'hall: the page ran to its end'
    ! grep -q 'got request 13' <<<"$out" || fail "the request within the same second reached the hall"
    [ "$status" -eq 0 ] || fail "the sample hall exited with $status"
}

run "no site lock"
expect_page_ran

"$wine_run" regedit /s "$(winpath "$lock")" || { echo "FAILED: regedit could not import $lock"; exit 1; }
run "site lock, a page of an allowed site" 7 'https://games.hall.example/lobby/page.html'
expect_page_ran
run "site lock, a page of another site" 7 'https://ads.example/banner.html'
! grep -q 'got request' <<<"$out" || fail "a page of another site reached the hall"
[ "$status" -eq 2 ] || fail "the sample hall exited with $status, not with the page's error"
exit $failed
