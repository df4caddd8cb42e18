#!/usr/bin/env bash
# Runs make test as a new user would on a fresh Debian 12 machine: in a clean
# Debian 12 root made with debootstrap (Debian's own mirror, the main, updates
# and security suites, nothing else installed but make and git), on a clone
# of this checkout's HEAD, as root. Prints how long make test took from
# nothing. Needs root, debootstrap and about 6 GB.
#   fresh-root-check.sh FOLDER [VAR=VALUE ...]   the root is made in FOLDER (removed first);
#                                                the settings are passed to make test
set -euo pipefail
root=${1:?usage: fresh-root-check.sh FOLDER [VAR=VALUE ...]}
shift
checkout=$(git -C "$(dirname "$0")/.." rev-parse --show-toplevel)
mirror=${TARNWICK_DEBIAN_MIRROR:-http://deb.debian.org/debian}

# A root from an earlier run may still be in use by a namespace's mounts;
# those are private to it, so removing the folder here touches only files.
rm -rf "$root"
debootstrap --variant=minbase --include=make,git,ca-certificates bookworm "$root" "$mirror" >"$root.debootstrap.log" 2>&1 ||
    { echo "fresh-root-check: debootstrap failed (see $root.debootstrap.log)" >&2; exit 1; }
cat >"$root/etc/apt/sources.list" <<EOF
deb $mirror bookworm main
deb $mirror bookworm-updates main
deb ${mirror%/debian}/debian-security bookworm-security main
EOF
cp /etc/resolv.conf "$root/etc/resolv.conf"
git clone -q "$checkout" "$root/root/tarnwick"

# /proc and /dev are mounted in a mount namespace of this run's own, so they
# vanish with it and never show through the root's folder afterwards.
unshare -m --propagation private -- bash -c '
    root=$1; shift
    # The root is a mount point of its own, as / is on a machine, so that
    # what runs inside can make its own mounts private.
    mount --bind "$root" "$root" || exit 125
    mount -t proc proc "$root/proc" && mount --rbind /dev "$root/dev" || exit 125
    mount -t tmpfs tmpfs "$root/tmp"
    exec chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root "$@" \
        bash -c "cd /root/tarnwick && start=\$(date +%s) && make test && echo \"fresh-root-check: make test passed in \$(( \$(date +%s) - start )) s from nothing\""
' fresh-root-check "$root" "$@"
