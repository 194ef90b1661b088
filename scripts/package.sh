#!/usr/bin/env bash
# Builds the Debian package: a release build with Debian's hardening flags in
# build/package, packed by CPack (dependencies from dpkg-shlibdeps), and
# checked by lintian where it is installed. Prints the package's path last.
# KVEX_SKIP_SETUP=1 leaves the system's packages alone (the tests use it);
# KVEX_JOBS sets the build's parallel jobs (2).
set -euo pipefail
cd "$(dirname "$0")/.."
[ "${KVEX_SKIP_SETUP:-0}" = 1 ] || scripts/setup.sh
dir=build/package

# The same flags a Debian build would use, without debug information: the
# package ships stripped programs.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cppflags=$(dpkg-buildflags --get CPPFLAGS)
cxxflags=$(dpkg-buildflags --get CXXFLAGS | sed -E 's/(^| )-g( |$)/ /')
ldflags=$(dpkg-buildflags --get LDFLAGS)
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

cmake -G Ninja -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DKVEX_TESTS=OFF -DKVEX_BENCH=OFF \
  -DCMAKE_CXX_FLAGS="$cppflags $cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" \
  -DKVEX_SYSTEMD_UNIT_DIR=/lib/systemd/system "${launcher[@]}" >/dev/null
cmake --build "$dir" -j"${KVEX_JOBS:-2}"
rm -f "$dir"/kvex_*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
deb=$(ls "$dir"/kvex_*.deb)

if command -v lintian >/dev/null; then
  # Errors fail the build; warnings are shown.
  lintian --tag-display-limit 0 "$deb" | tee "$dir/lintian.txt" >&2 || true
  if grep -q '^E: ' "$dir/lintian.txt"; then
    echo "package.sh: lintian reports errors on $deb" >&2
    exit 1
  fi
fi
echo "$PWD/$deb"
