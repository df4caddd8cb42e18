#!/bin/sh
# Assembles dist/: the kit for hall developers, from the 32-bit build (build/)
# and the 64-bit build (build64/).
#   make-dist.sh SOURCE_ROOT
set -eu
root=$1
dist=$root/dist
rm -rf "$dist"
mkdir -p "$dist/include"
for pair in x86:build x64:build64; do
    arch=${pair%%:*}
    tree=$root/${pair#*:}
    mkdir -p "$dist/$arch"
    cp "$tree/bin/Tarnwick.dll" "$tree/generated/tarnwick.tlb" "$dist/$arch/"
    for manifest in Tarnwick.manifest hall.exe.manifest; do
        if [ -f "$tree/generated/$manifest" ]; then cp "$tree/generated/$manifest" "$dist/$arch/"; fi
    done
done
cp "$root/build/generated/tarnwick_h.h" "$root/build/generated/tarnwick_i.c" "$dist/include/"
cp "$root/kit/include/tarnwick_hall.h" "$root/kit/include/tarnwick_script.h" "$root/resources/tarnwick.idl" "$dist/include/"
mkdir -p "$dist/sample"
cp "$root/kit/sample/hall.c" "$root/kit/sample/page.js" "$root/kit/sample/site-lock.reg" "$dist/sample/"
cp "$root/kit/README.md" "$root/kit/CHANGELOG.md" "$root/kit/LICENSE" "$dist/"
# The version is the one the build gives the libraries and their manifests.
version=$(sed -n 's/^project(Tarnwick VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
printf 'Tarnwick %s\n' "$version" >"$dist/VERSION"
# The Windows Installer packages, one per bitness, named by the version in
# each library's version resource.
for pair in x86:build x64:build64; do
    arch=${pair%%:*}
    tree=$root/${pair#*:}
    sh "$root/scripts/make-msi.sh" "$arch" "$tree/bin/Tarnwick.dll" "$tree/generated/tarnwick.tlb" "$dist/package.msi" >/dev/null
    msi_version=$(msiinfo export "$dist/package.msi" Property | sed -n 's/^ProductVersion\t//p' | tr -d '\r')
    mv "$dist/package.msi" "$dist/Tarnwick-$msi_version-$arch.msi"
done
# Last, the checksums of every other file, for sha256sum -c.
(cd "$dist" && find . -type f ! -name SHA256SUMS | sort | sed 's|^\./||' | xargs sha256sum >SHA256SUMS)
echo "dist/:"
(cd "$dist" && find . -type f | sort | sed 's|^\./|  |')
