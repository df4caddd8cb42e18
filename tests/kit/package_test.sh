#!/usr/bin/env bash
# The Windows Installer packages under the real msiexec, in a prefix of the
# test's own (TARNWICK_WINEPREFIX), in rounds that each end where they began:
#   install   msiexec /i /qn; the class through both ProgIDs from JScript and
#             VBScript; the Programs and Features entry; the registry under
#             HKEY_CLASSES_ROOT against what regsvr32 writes for the same
#             path; msiexec /x /qn; then the whole registry and file tree
#             against the ones before the install.
#   sitelock  SITELOCK's entries as the policy; an upgrade without SITELOCK
#             keeps them.
#   upgrade   a higher version replaces the installed one; the lower one is
#             then refused.
#   both      (the 64-bit build, with the 32-bit build's library) both
#             bitnesses' packages in one prefix; removing the 32-bit one
#             leaves the 64-bit class working, removing both leaves nothing.
#   package_test.sh WINE_RUN SOURCE_DIR ARCH DLL TLB WORK_DIR [OTHER_DLL OTHER_TLB]
set -uo pipefail
wine_run=$1 src=$2 arch=$3 dll=$4 tlb=$5 work=$6 other_dll=${7:-} other_tlb=${8:-}
prefix=$TARNWICK_WINEPREFIX

clsid='{944F576C-8D13-4177-9B3F-E827E4AFE8FF}'
iid='{E072AFD3-CE13-4A32-9BB7-4400F54C0528}'
ours='Tarnwick|944F576C-8D13-4177-9B3F-E827E4AFE8FF|E072AFD3-CE13-4A32-9BB7-4400F54C0528|6E328742-AEEA-4D34-A0A8-9EA8B322768A'
# The installer's own bookkeeping, which outlives a removal (its keys, the
# empty Programs and Features key it makes in the 32-bit view, the cached
# packages' folder), and the keys Wine rewrites at each start.
bookkeeping='^\[HKEY_LOCAL_MACHINE\\Software\\(Classes\\Installer|Microsoft\\Windows\\CurrentVersion\\Installer)(\\|\])'
bookkeeping+='|^\[HKEY_LOCAL_MACHINE\\Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\]$'
bookkeeping+='|^\[HKEY_LOCAL_MACHINE\\(Hardware\\DEVICEMAP\\VIDEO|System\\CurrentControlSet\\Control\\Video)(\\|\])'
bookkeeping_files=$'^windows/(Installer|temp)[/\t]|/AppData/Local/Temp[/\t]'

failed=0
fail() { echo "FAILED ($round): $1"; failed=1; }
winpath() { printf 'Z:%s' "$1" | tr '/' '\\'; }
wine() { "$wine_run" "$@" 2>/dev/null; }
mkdir -p "$work"
rm -f "$work"/*.msi "$work"/*.reg "$work"/*.txt "$work"/*.log

# A 32-bit package in a 64-bit prefix: its class is the 32-bit view's, used
# by the 32-bit programs in syswow64, its folder Program Files (x86).
in_32bit_view() { [ "$1" = x86 ] && [ -d "$prefix/drive_c/windows/syswow64" ]; }

# The programs of the package's bitness.
system_program() {
    local bits=$1 name=$2
    if in_32bit_view "$bits"; then
        echo "C:\\windows\\syswow64\\$name.exe"
    else
        echo "$name"
    fi
}

package() {  # package ARCH DLL TLB OUT [VERSION]: prints the version built
    sh "$src/scripts/make-msi.sh" "$@" | sed -n 's/.*: Tarnwick \([0-9.]*\) .*/\1/p'
}

msiexec() {  # msiexec ARGS...: its exit status, cut to 8 bits by Wine's launcher
    local start=$SECONDS status=0
    "$wine_run" msiexec "$@" >/dev/null 2>&1 || status=$?
    echo "  msiexec $1 $(basename "${2//\\//}"): exit $status, $((SECONDS - start)) s"
    return "$status"
}

# The whole registry (every view) as text, one key a paragraph, and the file
# tree, without the installer's bookkeeping.
snapshot() {
    local name=$1 hive
    : >"$work/$name.txt"
    for hive in HKEY_LOCAL_MACHINE HKEY_USERS; do
        wine regedit /e "$(winpath "$work/$name.reg")" "$hive"
        iconv -f UTF-16 -t UTF-8 "$work/$name.reg" | tr -d '\r' >>"$work/$name.txt"
    done
    skip=$bookkeeping awk 'BEGIN { RS = ""; ORS = "\n\n" } $0 !~ ENVIRON["skip"]' "$work/$name.txt" >"$work/$name.registry"
    (cd "$prefix/drive_c" && find . -mindepth 1 -printf '%P\t%y\t%s\n' | grep -Ev "$bookkeeping_files" | sort) >"$work/$name.files"
}

# The keys of AFTER that BEFORE lacks or holds otherwise, and those of BEFORE
# missing from AFTER, but for one kind: a key that was empty (no values, no
# subkeys) before. The installer's removal of a value deletes its key and
# then each parent that is left empty, up to the first that is not, and a
# fresh prefix has such keys on our paths (Software\Policies,
# Classes\Wow6432Node\CLSID).
registry_changes() {
    awk 'BEGIN { RS = ""; ORS = "\n\n" }
        FNR == 1 { file++ }
        { split($0, lines, "\n"); key = tolower(lines[1]); sub(/\]$/, "", key) }
        file == 1 { before[$0] = 1; header_only[$0] = (index($0, "\n") == 0); last = key; keys[key] = 1
                    parent = key; sub(/\\[^\\]*$/, "", parent); has_subkeys[parent] = 1; text[key] = $0 }
        file == 2 { after[$0] = 1; if (!($0 in before)) print "+" $0 }
        END { for (p in before) if (!(p in after)) {
                  split(p, lines, "\n"); key = tolower(lines[1]); sub(/\]$/, "", key)
                  if (!header_only[p] || (key in has_subkeys)) print "-" p } }' "$1" "$2"
}

same_as_before() {  # same_as_before SNAPSHOT: nothing of ours left since BEFORE
    snapshot "$1"
    registry_changes "$work/before.registry" "$work/$1.registry" >"$work/$1.registry.diff"
    [ ! -s "$work/$1.registry.diff" ] ||
        { fail "the registry differs from before the install:"; head -40 "$work/$1.registry.diff"; }
    diff -u "$work/before.files" "$work/$1.files" >"$work/$1.files.diff" ||
        { fail "the file tree differs from before the install:"; head -20 "$work/$1.files.diff"; }
}

# Our keys under HKEY_CLASSES_ROOT in a snapshot: both views for the 64-bit
# package; for the 32-bit one in a 64-bit prefix, the 32-bit view, which is
# its HKEY_CLASSES_ROOT (a 32-bit regsvr32 there may mirror keys into the
# 64-bit view, which no 32-bit package can write).
classes() {
    view=$(in_32bit_view "$arch" && echo '\Wow6432Node\')
    ours=$ours view=$view awk 'BEGIN { RS = ""; ORS = "\n\n" }
        /^\[HKEY_LOCAL_MACHINE\\Software\\Classes\\/ && !/^\[HKEY_LOCAL_MACHINE\\Software\\Classes\\Installer\\/ {
            split($0, lines, "\n"); if (lines[1] ~ ENVIRON["ours"] && (ENVIRON["view"] == "" || index(lines[1], ENVIRON["view"]))) print }' "$work/$1.txt"
}

# The paragraph of one key in a snapshot (empty if the key is not there).
key_in() {
    key="[$2]" awk 'BEGIN { RS = ""; ORS = "\n\n" } { split($0, lines, "\n"); if (tolower(lines[1]) == tolower(ENVIRON["key"])) print }' "$work/$1.txt"
}

# The products of this name in Programs and Features: "version publisher",
# one a line (Wine shows the entries in both views).
products() {
    awk -v name="\"DisplayName\"=\"$2\"" 'BEGIN { RS = "" } /\\CurrentVersion\\Uninstall\\/ && index($0, name) {
            v = p = ""; n = split($0, lines, "\n")
            for (i = 1; i <= n; i++) {
                if (lines[i] ~ /^"DisplayVersion"=/) v = substr(lines[i], 18)
                if (lines[i] ~ /^"Publisher"=/) p = substr(lines[i], 13)
            }
            split(lines[1], path, "\\"); print path[length(path)], v, p }' "$work/$1.txt" | sort -u | cut -d' ' -f2-
}

# The class through both ProgIDs, from JScript and VBScript, in ARCH's programs.
class_works() {
    local bits=$1 script out
    for script in invoker_check.js invoker_check.vbs; do
        out=$(wine "$(system_program "$bits" cscript)" //nologo "$(winpath "$src/tests/clients/$script")" | tr -d '\r')
        grep -qx 'TARNWICK SCRIPT OK' <<<"$out" || { fail "$bits $script: ${out:-no output}"; return 1; }
    done
    return 0
}

bits_name() { [ "$1" = x64 ] && echo 64-bit || echo 32-bit; }
program_files() {  # the package's folder, as the registry writes it
    if in_32bit_view "$1"; then
        echo 'C:\\Program Files (x86)\\Tarnwick'
    else
        echo 'C:\\Program Files\\Tarnwick'
    fi
}

round=setup
version=$(package "$arch" "$dll" "$tlb" "$work/current.msi")
IFS=. read -r v1 v2 v3 _ <<<"$version"
higher="$v1.$v2.$((v3 + 1)).0"
[ "$(package "$arch" "$dll" "$tlb" "$work/higher.msi" "$higher")" = "$higher" ] || fail "no package of version $higher"
name="Tarnwick ($(bits_name "$arch"))"
wine --init >/dev/null
# The script host and VBScript's RegExp register their own type libraries at
# their first use: that comes before the first snapshot.
printf '' >"$work/warm.js"
printf 'Set r = New RegExp\r\nr.Pattern = "x"\r\nr.Test "x"\r\n' >"$work/warm.vbs"
for script in warm.js warm.vbs; do
    wine "$(system_program "$arch" cscript)" //nologo "$(winpath "$work/$script")"
done
snapshot before

round=install
msiexec /i "$(winpath "$work/current.msi")" /qn || fail "the install failed"
snapshot installed
class_works "$arch"
[ "$(products installed "$name")" = "\"$version\" \"Tarnwick\"" ] ||
    fail "Programs and Features: $(products installed "$name") (not \"$version\" \"Tarnwick\")"
[ -f "$prefix/drive_c/$(program_files "$arch" | sed 's/^C:..//; s/\\\\/\//g')/tarnwick.tlb" ] ||
    fail "no tarnwick.tlb in $(program_files "$arch")"
classes installed >"$work/package.classes"
grep -qF "@=\"$(program_files "$arch")\\\\Tarnwick.dll\"" "$work/package.classes" ||
    fail "the class does not name $(program_files "$arch")\\Tarnwick.dll"
# The same path registered by regsvr32 instead, in code page 936 (the
# type library's help string is Chinese).
installed_dll="$(program_files "$arch" | sed 's/\\\\/\\/g')\\Tarnwick.dll"
regsvr32=$(system_program "$arch" regsvr32)
wine "$regsvr32" /u /s "$installed_dll" || fail "regsvr32 /u of the installed library failed"
snapshot unregistered
[ -z "$(classes unregistered)" ] || fail "regsvr32 /u left keys of ours"
wine "$regsvr32" /s "$installed_dll" || fail "regsvr32 of the installed library failed"
snapshot regsvr32
classes regsvr32 >"$work/regsvr32.classes"
echo "  $(grep -c '^\[' "$work/package.classes") keys and $(grep -c '^[@"]' "$work/package.classes") values of ours compared with regsvr32's"
diff -u "$work/regsvr32.classes" "$work/package.classes" || fail "the package's keys differ from regsvr32's (above)"
# regsvr32's own removal first, for whatever it wrote beyond the package's
# rows; the other rounds remove what the package wrote with msiexec alone.
wine "$regsvr32" /u /s "$installed_dll" || fail "regsvr32 /u of the installed library failed"
msiexec /x "$(winpath "$work/current.msi")" /qn || fail "the removal failed"
same_as_before removed

round=upgrade
msiexec /i "$(winpath "$work/current.msi")" /qn || fail "the install failed"
msiexec /i "$(winpath "$work/higher.msi")" /qn || fail "the upgrade failed"
snapshot upgraded
[ "$(products upgraded "$name")" = "\"$higher\" \"Tarnwick\"" ] ||
    fail "after the upgrade, Programs and Features lists: $(products upgraded "$name" | tr '\n' ';')"
class_works "$arch"
status=0
msiexec /i "$(winpath "$work/current.msi")" /qn || status=$?
[ "$status" -ne 0 ] || fail "the older package installed over the newer one"
snapshot downgrade
[ "$(products downgrade "$name")" = "\"$higher\" \"Tarnwick\"" ] || fail "the refused downgrade changed the products"
msiinfo export "$work/current.msi" LaunchCondition | grep -q 'A newer version of Tarnwick .* is already installed' ||
    fail "the package has no downgrade message"
msiexec /x "$(winpath "$work/higher.msi")" /qn || fail "the removal failed"
same_as_before upgrade-removed

round=sitelock
policy='HKLM\SOFTWARE\Policies\Tarnwick\SiteLock'
reg=$(system_program "$arch" reg)
sites() { wine "$reg" query "$policy" /v AllowedSites | tr -d '\r' | sed -n 's/^ *AllowedSites *REG_MULTI_SZ *//p'; }
expected='https://hall.example\0https://*.hall.example:8443\0'
msiexec /i "$(winpath "$work/current.msi")" /qn 'SITELOCK=https://hall.example  https://*.hall.example:8443' ||
    fail "the install with SITELOCK failed"
case $(sites) in "$expected"*) ;; *) fail "AllowedSites is not the two entries: $(sites)" ;; esac
msiexec /i "$(winpath "$work/higher.msi")" /qn || fail "the upgrade failed"
case $(sites) in "$expected"*) ;; *) fail "the upgrade without SITELOCK changed the lock: $(sites)" ;; esac
msiexec /x "$(winpath "$work/higher.msi")" /qn || fail "the removal failed"
same_as_before sitelock-removed

if [ -n "$other_dll" ] && [ ! -f "$other_dll" ]; then
    echo "both: skipped, there is no 32-bit library at $other_dll yet (make build makes it)"
elif [ -n "$other_dll" ]; then
    round=both
    [ -n "$(package x86 "$other_dll" "$other_tlb" "$work/x86.msi")" ] || fail "no 32-bit package"
    msiexec /i "$(winpath "$work/x86.msi")" /qn || fail "the 32-bit package did not install"
    msiexec /i "$(winpath "$work/current.msi")" /qn || fail "the 64-bit package did not install"
    snapshot both
    [ -n "$(key_in both "HKEY_LOCAL_MACHINE\\Software\\Classes\\Wow6432Node\\CLSID\\$clsid\\InprocServer32")" ] ||
        fail "the 32-bit class is not registered"
    class_works x64
    # The 32-bit class itself, where this machine runs 32-bit code.
    if wine "$(winpath "$(dirname "$other_dll")/route_probe.exe")"; then class_works x86; else
        echo "  this machine runs no 32-bit code: the 32-bit class is checked in the registry only"; fi
    msiexec /x "$(winpath "$work/x86.msi")" /qn || fail "the 32-bit package's removal failed"
    snapshot x64-left
    [ -z "$(key_in x64-left "HKEY_LOCAL_MACHINE\\Software\\Classes\\Wow6432Node\\CLSID\\$clsid")" ] ||
        fail "the 32-bit class outlived its package"
    [ -n "$(key_in x64-left "HKEY_LOCAL_MACHINE\\Software\\Classes\\Wow6432Node\\Interface\\$iid")" ] ||
        fail "the 32-bit view's interface key, which the 64-bit package also wrote, went with the 32-bit package"
    class_works x64
    msiexec /x "$(winpath "$work/current.msi")" /qn || fail "the 64-bit package's removal failed"
    same_as_before both-removed
fi

[ "$failed" -eq 0 ] && echo "every round passed"
exit "$failed"
