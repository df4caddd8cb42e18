#!/usr/bin/env bash
# Makes sure the cross toolchain, Wine and the test libraries are installed,
# and that something here can run the 32-bit library's programs. On Debian it
# installs whatever is missing from Debian's own packages, as root or through
# sudo, and says what it installs. A second run finds everything and does
# nothing.
#
# Only what this machine can use is installed. Where the kernel runs 32-bit
# programs, that is the 32-bit Wine loader (wine32, i386). Where it refuses
# them, no i386 package is installed at all: the 32-bit programs run under the
# WoW64 Wine of a Debian unstable root that scripts/wow64-root.sh makes with
# debootstrap, apart from this machine's packages. That root is also the
# route where wine32 can't be installed (its i386 libraries must match the
# amd64 ones version for version, which a half-synced mirror breaks); while it
# is there, wine32 is not tried again. TARNWICK_WINE_ROUTE=wow64
# takes that route on any machine (wine-run honours it too).
#
# A package index that fails to download (a mirror in sync, a size mismatch)
# does not end the set-up: apt-get update is tried twice, then the install
# goes on with the indices that did download. Only an install that really
# fails stops it, naming the packages.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
say() { echo "ensure-toolchain: $*"; }

packages=(g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32 mingw-w64-tools wine wine64 libwine-dev cmake googletest make
          msitools wixl)

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Exit 0 when the kernel runs a 32-bit x86 program: a 91-byte static ELF that
# only calls exit(0). A kernel without 32-bit support refuses it with "Exec
# format error". Written by hand, so nothing needs installing to ask.
kernel_runs_32bit() {
    local probe status=0
    probe=$(mktemp)
    printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000'  >"$probe"  # ident: 32-bit, little-endian
    printf '\002\000\003\000\001\000\000\000\124\200\004\010'         >>"$probe" # executable, i386, entry 0x8048054
    printf '\064\000\000\000\000\000\000\000\000\000\000\000'         >>"$probe" # program headers at 52
    printf '\064\000\040\000\001\000\000\000\000\000\000\000'         >>"$probe" # one of 32 bytes
    printf '\001\000\000\000\000\000\000\000\000\200\004\010'         >>"$probe" # load offset 0 at 0x8048000
    printf '\000\200\004\010\133\000\000\000\133\000\000\000'         >>"$probe" # 91 bytes in file and memory
    printf '\005\000\000\000\000\020\000\000'                         >>"$probe" # read and execute
    printf '\061\333\061\300\100\315\200'                             >>"$probe" # xor ebx,ebx; xor eax,eax; inc eax; int 0x80
    chmod +x "$probe"
    "$probe" 2>/dev/null || status=$?
    rm -f "$probe"
    return "$status"
}

if [ "${TARNWICK_WINE_ROUTE:-}" != wow64 ] && kernel_runs_32bit; then
    runs32=yes
else
    runs32=no
    packages+=(debootstrap)
fi
missing=()
for p in "${packages[@]}"; do
    name=$p
    case $p in wine32) name="$p:i386" ;; esac
    if ! dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$name")
    fi
done

if [ "${#missing[@]}" -gt 0 ]; then
    if ! command -v apt-get >/dev/null 2>&1; then
        say "missing ${missing[*]}, and this is not a Debian system; install them by hand." >&2
        exit 1
    fi
    say "installing ${missing[*]}"
    if ! as_root apt-get update -qq; then
        sleep 5
        if ! as_root apt-get update -qq; then
            say "some package indices failed to download twice; going on with those that did"
        fi
    fi
    install() {
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
            -o Acquire::Retries=3 "$@"
    }
    if ! install "${missing[@]}"; then
        # Once more for a transient download error; then one at a time, to
        # name what cannot be installed.
        if ! install "${missing[@]}"; then
            failed=()
            for p in "${missing[@]}"; do
                install "$p" >/dev/null 2>&1 || failed+=("$p")
            done
            if [ "${#failed[@]}" -gt 0 ]; then
                say "could not install ${failed[*]} from this machine's package sources" >&2
                exit 1
            fi
        fi
    fi
fi

# The 32-bit programs' route. Where the kernel runs them, the host's 32-bit
# Wine; else, or where it can't be installed, the WoW64 root. The route's
# failure is not the set-up's: the 32-bit tests then run only those that need
# no Wine, and make test says so in its first line.
wow64_route() {
    if ! dpkg-query -W -f='${Status}' debootstrap 2>/dev/null | grep -q 'install ok installed'; then
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap >/dev/null ||
            { say "could not install debootstrap; the 32-bit programs cannot run here"; return 0; }
    fi
    as_root bash "$here/wow64-root.sh" || say "no WoW64 root; the 32-bit programs cannot run here"
}
wow64_ready() {
    [ -f "${TARNWICK_WOW64_ROOT:-/var/cache/tarnwick/wow64-sid}/.tarnwick-ready" ]
}
if [ "$runs32" = no ]; then
    wow64_route
elif ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed' && ! wow64_ready; then
    say "installing wine32:i386 (this kernel runs 32-bit programs)"
    added_i386=no
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        as_root dpkg --add-architecture i386
        added_i386=yes
        as_root apt-get update -qq || as_root apt-get update -qq ||
            say "some package indices failed to download twice; going on with those that did"
    fi
    if ! as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
            -o Acquire::Retries=3 wine32:i386; then
        # Nothing of i386 stays behind: the architecture goes again if this
        # run added it.
        [ "$added_i386" = no ] || as_root dpkg --remove-architecture i386 2>/dev/null || true
        say "wine32:i386 cannot be installed from this machine's package sources; the 32-bit programs take the WoW64 route"
        wow64_route
    fi
fi
