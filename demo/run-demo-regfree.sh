#!/usr/bin/env bash
# make demo-regfree: the demo without registration. hall_sim.exe, Tarnwick.dll
# and hall_sim.exe.manifest are put in one folder; the Wine prefix is one of
# its own where regsvr32 never ran. It shows that the registry holds none of
# the class's keys, then runs the hall simulator on the page script.
#   run-demo-regfree.sh WINE_RUN FOLDER DLL HALL_SIM APP_MANIFEST DLL_MANIFEST PAGE
set -euo pipefail
wine_run=$1 folder=$2 dll=$3 hall=$4 app_manifest=$5 dll_manifest=$6 page=$7

winpath() { printf 'Z:%s' "$1" | tr '/' '\\'; }

# The identifiers, as the library's own manifest names them.
manifest=$(tr '\r\n' '  ' <"$dll_manifest")
attr() { grep -o "<$1 [^>]*" <<<"$manifest" | grep -o " $2=\"[^\"]*\"" | head -1 | cut -d'"' -f2 || true; }
clsid=$(attr comClass clsid)
libid=$(attr typelib tlbid)
iid=$(attr comInterfaceExternalProxyStub iid)
progid=$(attr comClass progid)
indep=$(grep -o '<progid>[^<]*' <<<"$manifest" | head -1 | cut -d'>' -f2 || true)
if [ -z "$clsid" ] || [ -z "$libid" ] || [ -z "$iid" ] || [ -z "$progid" ] || [ -z "$indep" ]; then
    echo "run-demo-regfree: cannot read the identifiers from $dll_manifest" >&2
    exit 1
fi

rm -rf "$folder"
mkdir -p "$folder"
cp "$hall" "$dll" "$folder/"
cp "$app_manifest" "$folder/$(basename "$hall").manifest"
echo "folder $folder:"
(cd "$folder" && ls -1 | sed 's/^/  /')
echo

"$wine_run" --init
export WINEPREFIX=$TARNWICK_WINEPREFIX
# The registry files are written when the prefix's server stops.
"$wine_run" --wait

# Every view of the classes (HKCR is HKLM\Software\Classes and
# HKCU\Software\Classes merged; the 32-bit view is under Wow6432Node), as the
# prefix stores it.
check_registry() {
    local found=0 key
    for key in "CLSID\\\\$clsid" "$indep" "$progid" "TypeLib\\\\$libid" "Interface\\\\$iid"; do
        local hits
        hits=$(grep -iF -- "$key]" "$WINEPREFIX"/system.reg "$WINEPREFIX"/user.reg "$WINEPREFIX"/userdef.reg 2>/dev/null || true)
        if [ -n "$hits" ]; then
            echo "  registry: found $hits"
            found=1
        fi
    done
    return $found
}
echo "registry of $WINEPREFIX (HKLM\\Software\\Classes, HKCU\\Software\\Classes, Wow6432Node included):"
if ! check_registry; then
    echo "run-demo-regfree: this prefix has the class registered; remove $WINEPREFIX and run again" >&2
    exit 1
fi
echo "  none of our keys: CLSID\\$clsid, $indep, $progid, TypeLib\\$libid, Interface\\$iid"
echo "  no regsvr32 run; $(basename "$hall") finds Tarnwick.dll through $(basename "$hall").manifest"
echo

status=0
"$wine_run" "$folder/$(basename "$hall")" "$(winpath "$page")" || status=$?
"$wine_run" --wait
echo
if ! check_registry; then
    echo "run-demo-regfree: after the run the registry holds the class's keys" >&2
    exit 1
fi
echo "registry after the run: still none of our keys"
exit $status
