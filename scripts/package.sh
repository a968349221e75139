#!/usr/bin/env bash
# Builds the binary packages of one architecture from a clean tree:
#
#   scripts/package.sh            the build machine's architecture (amd64 here)
#   scripts/package.sh amd64      native build
#   scripts/package.sh arm64      cross build for the camera (AArch64 Linux)
#
# Produces, in build/packages/:
#   udptrans_<version>_<arch>.deb            installs under /opt/udptrans
#   udptrans-<version>-Linux-<arch>.tar.gz   the same tree under one top folder
# each holding lib/libudptrans.so, lib/udptrans.pdesc, lib/libalgo.so,
# bin/udptrans-host, include/algo/*.h, include/udptrans/*.h, lib/cmake/udptrans/
# (for find_package(udptrans)), lib/pkgconfig/udptrans.pc and share/doc/udptrans/
# (licence, guide, example host); the .deb adds /usr/share/doc/udptrans/copyright.
# Then prints the package's metadata and contents and checks its architecture.
set -euo pipefail
cd "$(dirname "$0")/.."

arch=${1:-$(dpkg --print-architecture)}
case "$arch" in
    amd64) scripts/deps.sh ;;
    arm64) scripts/deps.sh g++-aarch64-linux-gnu ;;
    *) echo "package.sh: unknown architecture '$arch' (amd64 or arm64)" >&2; exit 2 ;;
esac
if [ "$arch" = amd64 ] && [ "$(dpkg --print-architecture)" != amd64 ]; then
    echo "package.sh: amd64 packages are built natively on an amd64 machine" >&2
    exit 2
fi

preset=package-$arch
# A fresh configure: packages never carry a stale cache or a leftover file.
rm -rf "build/$preset"
cmake --workflow --preset "$preset"

version=$(sed -n 's/^project(udptrans VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb=build/packages/udptrans_${version}_${arch}.deb
tgz=build/packages/udptrans-${version}-Linux-${arch}.tar.gz

echo
echo "== $deb"
dpkg-deb -I "$deb"
dpkg-deb -c "$deb"
echo
echo "== $tgz"
tar -tzvf "$tgz"

# The control file must name the target's architecture, and the objects in the
# package must be built for it.
got=$(dpkg-deb -f "$deb" Architecture)
if [ "$got" != "$arch" ]; then
    echo "package.sh: $deb says Architecture: $got, expected $arch" >&2
    exit 1
fi
case "$arch" in
    amd64) machine="X86-64" ;;
    arm64) machine="AArch64" ;;
esac
# The .deb carries the licence where Debian looks for it, and does not list
# /opt, which no package owns (dpkg -r would warn that it cannot remove it).
if ! dpkg-deb -c "$deb" | grep -q ' \./usr/share/doc/udptrans/copyright$'; then
    echo "package.sh: $deb has no /usr/share/doc/udptrans/copyright" >&2
    exit 1
fi
if dpkg-deb -c "$deb" | grep -q ' \./opt/$'; then
    echo "package.sh: $deb lists /opt itself" >&2
    exit 1
fi
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
dpkg-deb -x "$deb" "$tmp"
for f in "$tmp"/opt/udptrans/lib/libudptrans.so "$tmp"/opt/udptrans/lib/libalgo.so \
         "$tmp"/opt/udptrans/bin/udptrans-host; do
    [ -e "$f" ] || continue
    if ! readelf -h "$f" | grep -q "Machine:.*$machine"; then
        echo "package.sh: ${f#"$tmp"} is not built for $machine" >&2
        exit 1
    fi
done
# The Depends line promises glibc >= 2.34: no object may need a newer symbol.
newest=$(find "$tmp" -type f \( -name '*.so' -o -path '*/bin/*' \) -exec readelf -V {} + 2>/dev/null |
         grep -o 'GLIBC_[0-9.]*' | sed 's/GLIBC_//' | sort -V | tail -1)
if [ -n "$newest" ] && [ "$(printf '%s\n2.34\n' "$newest" | sort -V | tail -1)" != 2.34 ]; then
    echo "package.sh: objects need GLIBC_$newest, newer than the Depends line's 2.34" >&2
    exit 1
fi
echo
echo "package.sh: $arch packages in build/packages/ (newest glibc symbol: ${newest:-none})"
