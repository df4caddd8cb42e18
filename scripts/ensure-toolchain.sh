#!/usr/bin/env bash
# Makes sure the cross toolchain, Wine and the test libraries are installed.
# On Debian it installs whatever is missing from Debian's own packages, as root
# or through sudo, and says what it installs. A second run finds everything and
# does nothing.
set -euo pipefail

packages=(g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32 mingw-w64-tools wine wine32 wine64 libwine-dev cmake googletest make)

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

missing=()
for p in "${packages[@]}"; do
    # wine32 is the i386 loader that a 64-bit host needs for 32-bit programs.
    name=$p
    case $p in wine32) name="$p:i386" ;; esac
    if ! dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$name")
    fi
done

if [ "${#missing[@]}" -eq 0 ]; then
    exit 0
fi

if ! command -v apt-get >/dev/null 2>&1; then
    echo "ensure-toolchain: missing ${missing[*]}, and this is not a Debian system; install them by hand." >&2
    exit 1
fi

echo "ensure-toolchain: installing ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "ensure-toolchain: adding the i386 architecture"
    as_root dpkg --add-architecture i386
fi
as_root apt-get update -qq
as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
