#!/usr/bin/env bash
# Installs, with apt-get, the Debian packages that building and testing need
# and that are missing. Installs nothing (and needs no root) when all are
# there.
#
#   tools/install-deps.sh --demo   what README's demo needs: the programs' build
#   tools/install-deps.sh          what README's test command needs
#   tools/install-deps.sh --ci     that and what .ci/run's later stages need
#
# Where there is no apt-get (not Debian or a derivative), it installs
# nothing: it says what to install when cmake, make or a C++ compiler is
# missing, and for the tests names the Debian packages to find equivalents of.
#
# The package lists below are the only ones: add a package there.
set -euo pipefail

# The demo: the programs' build.
demo_packages=(
  cmake make g++
)
# Building and running every test (ctest).
test_packages=(
  "${demo_packages[@]}"
  libgtest-dev       # the tests
  nlohmann-json3-dev # JSON output (veltcfg-check --json, veltcfg-list --json), and the tests that read it
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
  ansible-core               # the example playbook (doc/examples), run against localhost
)

case ${1:-} in
  --demo) packages=("${demo_packages[@]}") ;;
  "") packages=("${test_packages[@]}") ;;
  --ci) packages=("${test_packages[@]}" "${ci_packages[@]}") ;;
  *) echo "usage: $0 [--demo | --ci]" >&2; exit 2 ;;
esac

if ! command -v apt-get >/dev/null || ! command -v dpkg-query >/dev/null; then
  missing=()
  for tool in cmake make; do
    command -v "$tool" >/dev/null || missing+=("$tool")
  done
  command -v c++ >/dev/null || command -v g++ >/dev/null || command -v clang++ >/dev/null ||
    missing+=("a C++ compiler")
  if ((${#missing[@]})); then
    echo "install-deps: no apt-get here, and missing: ${missing[*]}" >&2
    echo "install-deps: install CMake 3.20 or newer, make and a C++17 compiler" >&2
    exit 1
  fi
  if [[ ${1:-} != --demo ]]; then
    echo "install-deps: no apt-get here; the tests also use what these Debian packages hold:" \
      "${packages[*]:${#demo_packages[@]}}" >&2
  fi
  exit 0
fi

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
