#!/usr/bin/env bash
# Builds the release of the commit checked out into dist/, from a clean export of that commit:
#   Ombrelo-<version>-win64.zip        Ombrelo.exe, ombrelo-console.exe, ombrelo-plot.exe, README.txt,
#                                      LICENSE.txt and THIRD-PARTY-NOTICES.txt (all text CRLF)
#   Ombrelo-<version>-win64-setup.exe  the NSIS installer of the same files
#   ombrelo_<version>_amd64.deb        the console tools, their manual pages and the udev rule
#   SHA256SUMS                         over the three
# The version is the CMake project's. Two runs on the same commit give the same bytes, wherever
# the clone lies: every time stamp is the commit's (SOURCE_DATE_EPOCH), source and build paths
# are mapped away (-ffile-prefix-map), the .exe files carry no link time, the zip's entries are
# sorted and dated, and CPack and NSIS get files dated alike. scripts/release-repro.sh checks it.
# Uncommitted changes are not built (it says so). OMBRELO_BUILD_ROOT overrides build/ and
# OMBRELO_DIST overrides dist/.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
root="${OMBRELO_BUILD_ROOT:-$here/build}"
dist="${OMBRELO_DIST:-$here/dist}"
jobs="${OMBRELO_JOBS:-2}"

bash "$here/scripts/deps.sh" git g++ cmake ninja-build make g++-mingw-w64-x86-64-posix \
  mingw-w64-x86-64-dev nsis zip dpkg-dev file gzip

commit=$(git -C "$here" rev-parse HEAD)
if [ -n "$(git -C "$here" status --porcelain --untracked-files=no)" ]; then
  echo "release.sh: uncommitted changes are left out; building commit $commit as it stands" >&2
fi
SOURCE_DATE_EPOCH=$(git -C "$here" log -1 --format=%ct "$commit")
export SOURCE_DATE_EPOCH
# The zip stores local times, and sorting follows the locale: both fixed.
export TZ=UTC LC_ALL=C
umask 022

work="$root/release"
src="$work/src"
native="$work/native"
win="$work/win"
stage="$work/stage"
rm -rf "$work"
mkdir -p "$src" "$stage" "$dist"
git -C "$here" archive --format=tar "$commit" | tar -x -C "$src"

# Runs a step quietly; on failure shows what it said.
quietly() {
  "$@" >"$work/step.log" 2>&1 || {
    cat "$work/step.log" >&2
    echo "release.sh: failed: $*" >&2
    exit 1
  }
}

echo "Building commit $commit (dated $(date -d "@$SOURCE_DATE_EPOCH" '+%Y-%m-%d %H:%M:%S UTC'))"
# No path of this machine in the programs.
prefix_map="-ffile-prefix-map=$src=. -ffile-prefix-map=$native=. -ffile-prefix-map=$win=."

echo "Linux build and the Debian package ..."
# Debian's hardening: fortified string functions, stack protector, read-only relocations.
quietly cmake -S "$src" -B "$native" -G Ninja -DCMAKE_BUILD_TYPE=Release -DOMBRELO_TESTS=OFF -DOMBRELO_BENCH=OFF \
  -DCMAKE_CXX_FLAGS="$prefix_map -D_FORTIFY_SOURCE=2 -fstack-protector-strong -Wformat -Werror=format-security" \
  -DCMAKE_EXE_LINKER_FLAGS="-Wl,-z,relro,-z,now"
quietly cmake --build "$native" -j"$jobs"
version=$(sed -n 's/^#define OMBRELO_VERSION_TEXT "\(.*\)"$/\1/p' "$native/generated/ombrelo_version.h")
copyright=$(sed -n 's/^#define OMBRELO_COPYRIGHT "\(.*\)"$/\1/p' "$native/generated/ombrelo_version.h")
[ -n "$version" ] && [ -n "$copyright" ] || { echo "release.sh: no version in the build" >&2; exit 1; }
quietly cpack --config "$native/CPackConfig.cmake" -G DEB -B "$native/package"
deb="ombrelo_${version}_amd64.deb"
zip_name="Ombrelo-${version}-win64.zip"
setup="Ombrelo-${version}-win64-setup.exe"
rm -f "$dist/$deb" "$dist/$zip_name" "$dist/$setup" "$dist/SHA256SUMS"
cp "$native/package/$deb" "$dist/$deb"

echo "Windows build ..."
quietly cmake -S "$src" -B "$win" -G Ninja -DCMAKE_BUILD_TYPE=Release -DOMBRELO_TESTS=OFF -DOMBRELO_BENCH=OFF \
  -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64-x86_64.cmake" -DCMAKE_CXX_FLAGS="$prefix_map" \
  -DCMAKE_EXE_LINKER_FLAGS="-s"
quietly cmake --build "$win" -j"$jobs"
# Stripped by the linker (-s above): strip run afterwards would write a time into the PE header.
quietly cmake --install "$win" --prefix "$stage"

# Text for Windows users ends its lines with CR LF.
to_crlf() { sed 's/\r$//; s/$/\r/' "$1" >"$2"; }
# The licences of what is linked into the .exe files (-static): copied from the toolchain's own
# copyright files, which Debian's MinGW-w64 and GCC packages install.
write_notices() {
  local mingw=/usr/share/doc/mingw-w64-x86-64-dev/copyright
  local gcc=/usr/share/doc/gcc-mingw-w64-base/copyright
  local gpl=/usr/share/common-licenses/GPL-3
  local gcc_terms exception
  gcc_terms=$(sed -n '/^COPYRIGHT STATEMENTS AND LICENSING TERMS/,/^The libbacktrace library/p' "$gcc" | sed '$d')
  exception=$(sed -n '/^GCC RUNTIME LIBRARY EXCEPTION/,/^libquadmath/p' "$gcc" | sed '$d')
  if [ -z "$gcc_terms" ] || [ -z "$exception" ] || [ ! -s "$mingw" ] || [ ! -s "$gpl" ]; then
    echo "release.sh: the toolchain's licence files are not where they were (see write_notices)" >&2
    exit 1
  fi
  cat <<EOF
Third-party software in Ombrelo.exe, ombrelo-console.exe and ombrelo-plot.exe
=============================================================================

The Windows programs are linked statically with the run-time libraries of the
MinGW-w64 GCC toolchain that built them (Debian's gcc-mingw-w64-x86-64-posix
$(dpkg-query -W -f='${Version}' gcc-mingw-w64-x86-64-posix) and mingw-w64-x86-64-dev $(dpkg-query -W -f='${Version}' mingw-w64-x86-64-dev)):

  - the MinGW-w64 C run-time and winpthreads (the threads under std::thread),
    under the terms in part 1;
  - GCC's libgcc and libstdc++, under the GNU General Public License version 3
    with the GCC Runtime Library Exception version 3.1 (parts 2 and 3), which
    allows them to be combined with Ombrelo under Ombrelo's own licence.

The texts below are copied from the toolchain's own files.


1. MinGW-w64 run-time and winpthreads ($mingw)
-----------------------------------------------------------------------------

$(cat "$mingw")


2. GCC run-time libraries: libgcc, libstdc++ ($gcc)
-----------------------------------------------------------------------------

$gcc_terms

$exception


3. GNU General Public License version 3 ($gpl)
-----------------------------------------------------------------------------

$(cat "$gpl")
EOF
}
write_notices >"$work/notices.txt"
to_crlf "$work/notices.txt" "$stage/THIRD-PARTY-NOTICES.txt"
to_crlf "$src/LICENSE" "$stage/LICENSE.txt"
sed "s/@VERSION@/$version/g; s/@COPYRIGHT@/$copyright/g" "$src/packaging/README-windows.txt" >"$work/README.txt"
to_crlf "$work/README.txt" "$stage/README.txt"
chmod 644 "$stage"/*.txt
chmod 755 "$stage"/*.exe
find "$stage" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +

echo "The zip and the installer ..."
# -X: no extra fields (owner, Unix times); -D: no folder entries; names sorted.
(cd "$stage" && printf '%s\n' * | sort | zip -X -D -9 -q "$dist/$zip_name" -@)
quietly makensis -V2 -DVERSION_FILE="$win/packaging/ombrelo_version.nsh" -DSTAGE="$stage" \
  -DICON="$src/resources/ombrelo.ico" -DOUTFILE="$dist/$setup" "$src/packaging/ombrelo.nsi"

(cd "$dist" && sha256sum "$zip_name" "$setup" "$deb" >SHA256SUMS)
echo
echo "Release $version in $dist:"
(cd "$dist" && ls -l "$zip_name" "$setup" "$deb" SHA256SUMS | awk '{printf "  %-40s %9d bytes\n", $9, $5}')
