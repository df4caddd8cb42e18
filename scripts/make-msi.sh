#!/bin/sh
# Builds the Windows Installer package of one bitness from kit/package/
# Tarnwick.wxs, with wixl and msibuild (Debian's msitools and wixl).
#   make-msi.sh x86|x64 DLL TLB OUTPUT.msi [VERSION]
# VERSION defaults to the product version in DLL's version resource (the
# tests give a higher one to try an upgrade). The ProductCode follows from the
# bitness and the version, so a package rebuilt at the same version is the
# same product: it never installs a second copy beside the first.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
arch=$1 dll=$2 tlb=$3 out=$4 version=${5:-}
case $arch in x86|x64) ;; *) echo "make-msi: the bitness is x86 or x64, not $arch" >&2; exit 2 ;; esac

# VS_FIXEDFILEINFO: the signature FEEF04BD, the structure's version, the file
# version (two DWORDs), then the product version's: major and minor in the
# high and low words of the first, build and revision in the second.
if [ -z "$version" ]; then
    version=$(od -An -v -tx1 "$dll" | tr '\n' ' ' | tr -s ' ' |
        sed -n 's/.* bd 04 ef fe \(.. .. .. .. \)\{3\}\(..\) \(..\) \(..\) \(..\) \(..\) \(..\) \(..\) \(..\) .*/\5\4 \3\2 \9\8 \7\6/p' |
        { read -r a b c d || :; [ -z "${d:-}" ] || printf '%d.%d.%d.%d' "0x$a" "0x$b" "0x$c" "0x$d"; })
    [ -n "$version" ] || { echo "make-msi: $dll has no version resource" >&2; exit 1; }
fi
# A name-based GUID (the bitness and version's SHA-1, as a version 5 UUID).
hash=$(printf 'Tarnwick %s %s' "$arch" "$version" | sha1sum | cut -c1-32 | tr a-f A-F)
variant=$(printf '%X' $(( (0x$(printf %s "$hash" | cut -c17) & 3) | 8 )))
product=$(printf '%s' "$hash" | sed "s/^\(........\)\(....\).\(...\).\(...\)\(............\)$/\1-\2-5\3-$variant\4-\5/")
# The library's help string, as the interface definition gives it.
help=$(sed -n '/^library /,$!{s/^ *helpstring("\(Tarnwick [^"]*\)").*/\1/p}' "$root/resources/tarnwick.idl")
[ -n "$help" ] || { echo "make-msi: no type library help string in tarnwick.idl" >&2; exit 1; }

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp "$dll" "$stage/Tarnwick.dll"
cp "$tlb" "$stage/tarnwick.tlb"
cp "$root/kit/package/site-lock.js" "$stage/"
printf '\n\n936\t_ForceCodepage\n' >"$stage/_ForceCodepage.idt"
(cd "$stage" && wixl -a "$arch" -D Arch="$arch" -D Version="$version" -D ProductCode="$product" \
    -o package.msi "$root/kit/package/Tarnwick.wxs")
# What wixl cannot write, in one pass over its package:
# - the code page, then the type library's help string, which needs it;
# - the site lock component's condition;
# - the site lock's entries split just after the search for the installed
#   package's record, and an upgrade that removes the old product before it
#   installs anything (so no row is shared between the two);
# - SITELOCK as a secure property, which is how it reaches the installer's
#   service in an elevated or managed install (group policy).
secure=$(msiinfo export "$stage/package.msi" Property | sed -n 's/^SecureCustomProperties\t//p' | tr -d '\r')
msibuild "$stage/package.msi" -i "$stage/_ForceCodepage.idt" \
    -q "UPDATE Registry SET Value='$help' WHERE Value='@TYPELIB_HELPSTRING@'" \
    -q "UPDATE Component SET Condition='SITELOCK' WHERE Component='SiteLock'" \
    -q "UPDATE InstallExecuteSequence SET Sequence=60 WHERE Action='SplitSiteLock'" \
    -q "UPDATE InstallExecuteSequence SET Sequence=1401 WHERE Action='RemoveExistingProducts'" \
    -q "UPDATE Property SET Value='${secure:+$secure;}SITELOCK;KEPTSITELOCK' WHERE Property='SecureCustomProperties'"
mkdir -p "$(dirname "$out")"
mv "$stage/package.msi" "$out"
echo "make-msi: $out: Tarnwick $version ($arch), ProductCode {$product}"
