#!/usr/bin/env bash
# Builds the Debian packages: CMake preset "deb" (build/deb, installed under
# /usr), compiled and linked with Debian's build flags (dpkg-buildflags, all
# hardening on), made by CPack into build/deb/packages/. Their timestamps come
# from the last commit, so that the same commit gives the same packages.
#   scripts/package.sh        then: ls build/deb/packages/*.deb
set -euo pipefail
cd "$(dirname "$0")/.."

export DEB_BUILD_MAINT_OPTIONS=hardening=+all
flags() { dpkg-buildflags --get "$1"; }
cflags="$(flags CPPFLAGS) $(flags CFLAGS)"
cxxflags="$(flags CPPFLAGS) $(flags CXXFLAGS)"
ldflags=$(flags LDFLAGS)
if git rev-parse --git-dir >/dev/null 2>&1; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
  export SOURCE_DATE_EPOCH
fi

cmake --preset deb -DCMAKE_C_FLAGS="$cflags" -DCMAKE_CXX_FLAGS="$cxxflags" \
  -DCMAKE_EXE_LINKER_FLAGS="$ldflags" -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" \
  -DCMAKE_MODULE_LINKER_FLAGS="$ldflags" >/dev/null
cmake --build --preset deb -j "$(nproc)"
rm -rf build/deb/packages
cpack --preset deb
