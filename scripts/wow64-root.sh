#!/usr/bin/env bash
# Makes the root that runs the 32-bit library's programs on a machine whose
# kernel refuses 32-bit Linux programs. Debian's unstable suite builds Wine for
# both architectures at once (its amd64 libwine carries the i386 Windows DLLs),
# so that Wine runs 32-bit Windows code inside a 64-bit process (WoW64) and
# never starts a 32-bit Linux program. It lives in a Debian unstable root made
# with debootstrap, apart from this machine's own packages; wine-run enters it
# with chroot. Made once, under a lock, and reused by every checkout:
#   wow64-root.sh [ROOT]     default $TARNWICK_WOW64_ROOT or /var/cache/tarnwick/wow64-sid
# Exit 0 when the root is ready; else one line on stderr says why.
set -euo pipefail

root=${1:-${TARNWICK_WOW64_ROOT:-/var/cache/tarnwick/wow64-sid}}
mirror=${TARNWICK_DEBIAN_MIRROR:-http://deb.debian.org/debian}
loader=/usr/lib/x86_64-linux-gnu/wine/wine
say() { echo "wow64-root: $*" >&2; }

ready() {
    [ -f "$root/.tarnwick-ready" ]
}
ready && exit 0

if [ "$(id -u)" -ne 0 ]; then
    say "making $root needs root (debootstrap and chroot)"
    exit 1
fi
for tool in debootstrap chroot unshare flock; do
    command -v "$tool" >/dev/null 2>&1 || { say "$tool is not installed"; exit 1; }
done

mkdir -p "$(dirname "$root")"
exec 9>"$root.lock"
flock 9
ready && exit 0

start=$(date +%s)
work="$root.new"
rm -rf "$work"
say "making a Debian unstable root with WoW64 Wine in $root (once; a few minutes)"
log="$root.log"
attempt() {
    debootstrap --variant=minbase sid "$work" "$mirror" >"$log" 2>&1 || return 1
    # The unstable suite's Release file carries a validity date; a mirror
    # that lags behind it still serves the archive's signed content.
    echo 'Acquire::Check-Valid-Until "false"; Acquire::Retries "3";' >"$work/etc/apt/apt.conf.d/99tarnwick"
    cp /etc/resolv.conf "$work/etc/resolv.conf" 2>/dev/null || true
    unshare -m --propagation private -- sh -c '
        mount --bind /proc "$1/proc" && mount --rbind /dev "$1/dev" &&
        chroot "$1" sh -c "apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends wine wine64 libwine && apt-get clean"
    ' sh "$work" >>"$log" 2>&1
}
if ! attempt; then
    say "the first attempt failed (see $log); trying once more"
    rm -rf "$work"
    if ! attempt; then
        say "could not make the root (see $log)"
        rm -rf "$work"
        exit 1
    fi
fi

# The root is of use only if its Wine is the one that carries both
# architectures' Windows side.
if [ ! -x "$work$loader" ] || [ ! -f "$work/usr/lib/x86_64-linux-gnu/wine/i386-windows/ntdll.dll" ] ||
   [ ! -f "$work/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/wow64.dll" ]; then
    say "the unstable suite's Wine no longer carries the 32-bit Windows DLLs in its 64-bit package"
    rm -rf "$work"
    exit 1
fi
version="Wine $(chroot "$work" dpkg-query -W -f='${Version}' libwine 2>/dev/null || echo '(version unknown)')"
rm -rf "$root"
mv "$work" "$root"
echo "$version" >"$root/.tarnwick-ready"
say "ready: $version, $(du -sm "$root" | cut -f1) MB, $(( $(date +%s) - start )) s"
