#!/usr/bin/env bash
# Installs, with apt-get, the Debian packages that building and testing need
# and that are missing. Installs nothing (and needs no root) when all are
# there.
#
#   tools/install-deps.sh        what README's test command needs
#   tools/install-deps.sh --ci   that and what .ci/run's later stages need
#
# The package lists below are the only ones: add a package there.
set -euo pipefail

# Building and running every test (ctest).
test_packages=(
  cmake make g++     # the build
  libgtest-dev       # the tests
  util-linux         # unshare, for the tests in a private mount namespace
  man-db             # the package test renders the manual page
  dpkg-dev file      # dpkg-shlibdeps, for the package's library dependencies
  lintian            # the package test checks the package
  adduser            # the package's postinst, run when the package test installs it
  qemu-system-x86 cpio   # the kernel test boots a guest (it fetches its kernel itself)
)
# .ci/run's sanitizer build, bounded fuzzing run and Windows stage.
ci_packages=(
  clang libclang-rt-14-dev   # libFuzzer and the sanitizers' runtime for clang
  g++-mingw-w64-x86-64-posix # the Windows build (cmake/mingw-w64-x86_64.cmake)
  wine wine64                # runs the Windows programs (tests/windows/compare.sh)
)

packages=("${test_packages[@]}")
case ${1:-} in
  "") ;;
  --ci) packages+=("${ci_packages[@]}") ;;
  *) echo "usage: $0 [--ci]" >&2; exit 2 ;;
esac

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
((${#missing[@]})) || exit 0

if ((EUID != 0)); then
  echo "install-deps: missing packages: ${missing[*]}" >&2
  echo "install-deps: as root: apt-get update && apt-get install -y ${missing[*]}" >&2
  exit 1
fi
echo "install-deps: installing ${missing[*]}"
apt-get update
DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
