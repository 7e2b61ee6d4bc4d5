#!/usr/bin/env bash
# package_test.sh BUILD_DIR
#
# Builds the Debian package from BUILD_DIR (already built) into a temporary
# directory and checks it: the files it holds, its control fields, that the
# packaged programs run and that the packaged manual page renders. Then
# checks that "cmake --install BUILD_DIR --prefix DIR" lays out the same files.
#
# Needs cmake/cpack, dpkg-deb and man (package man-db). CMAKE and CPACK may
# name the cmake and cpack to use (the build's own, when run from ctest).
set -euo pipefail

fail() {
  echo "package_test: FAIL: $*" >&2
  exit 1
}

note() {
  echo "package_test: $*"
}

# ---------------------------------------------------------------- arguments, tools

(($# == 1)) || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
build_dir=$(cd "$1" 2>/dev/null && pwd) || fail "build directory '$1' does not exist"
[[ -f $build_dir/CPackConfig.cmake ]] ||
  fail "$build_dir/CPackConfig.cmake is missing: configure the build with cmake first"
[[ -f $build_dir/CMakeCache.txt ]] || fail "$build_dir/CMakeCache.txt is missing"
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
[[ -f $source_dir/doc/veltcfg.1 ]] || fail "manual page $source_dir/doc/veltcfg.1 is missing"

cmake_command=${CMAKE:-cmake}
cpack_command=${CPACK:-cpack}
require_tool() {
  command -v "$1" >/dev/null 2>&1 || fail "'$1' not found: $2"
}
require_tool "$cmake_command" "install CMake (Debian: apt-get install cmake)"
require_tool "$cpack_command" "install CMake (Debian: apt-get install cmake)"
require_tool dpkg-deb "this test needs a Debian-based system (dpkg-deb, package dpkg)"
require_tool dpkg "this test needs a Debian-based system (package dpkg)"
require_tool man "the manual page check needs man (Debian: apt-get install man-db)"

# What the package should be called, from the build's own project version
# (not from the packaging settings under test).
project_version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build_dir/CMakeCache.txt")
[[ -n $project_version ]] || fail "no CMAKE_PROJECT_VERSION in $build_dir/CMakeCache.txt"
expected_version="$project_version-1"
expected_arch=$(dpkg --print-architecture)
expected_file="veltcfg_${expected_version}_${expected_arch}.deb"

tmp=$(mktemp -d "${TMPDIR:-/tmp}/veltcfg-package-test.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

# ---------------------------------------------------------------- the package

note "building the package with $cpack_command"
if ! (cd "$tmp" && "$cpack_command" -G DEB --config "$build_dir/CPackConfig.cmake" \
      -B "$tmp/out") >"$tmp/cpack.log" 2>&1; then
  cat "$tmp/cpack.log" >&2
  fail "cpack -G DEB failed (log above)"
fi

shopt -s nullglob
debs=("$tmp"/out/*.deb)
shopt -u nullglob
((${#debs[@]} == 1)) || {
  cat "$tmp/cpack.log" >&2
  fail "expected one .deb in the cpack output, found ${#debs[@]}"
}
deb=${debs[0]}
[[ $(basename "$deb") == "$expected_file" ]] ||
  fail "package file is $(basename "$deb"), expected $expected_file"
note "built $(basename "$deb")"

# Control fields.
field() {
  dpkg-deb -f "$deb" "$1"
}
[[ $(field Package) == veltcfg ]] || fail "Package is '$(field Package)', expected veltcfg"
[[ $(field Version) == "$expected_version" ]] ||
  fail "Version is '$(field Version)', expected $expected_version"
[[ $(field Architecture) == "$expected_arch" ]] ||
  fail "Architecture is '$(field Architecture)', expected $expected_arch"
[[ $(field Section) == electronics ]] || fail "Section is '$(field Section)', expected electronics"
[[ -n $(field Maintainer) ]] || fail "Maintainer is empty"
[[ -n $(field Description) ]] || fail "Description is empty"
depends=$(field Depends)
[[ $depends == *libc6* ]] || fail "Depends is '$depends', expected it to name libc6"

# Contents: the two programs, executable; the manual pages; nothing else.
dpkg-deb -c "$deb" >"$tmp/contents"
entry_mode() {
  # The mode column of the listing line for path $1 (empty if absent).
  awk -v path="$1" '$6 == path { print $1 }' "$tmp/contents"
}
for program in veltcfg veltcfg-sim veltcfg-check; do
  mode=$(entry_mode "./usr/bin/$program")
  [[ -n $mode ]] || { cat "$tmp/contents" >&2; fail "package lacks ./usr/bin/$program"; }
  [[ $mode == -rwxr-xr-x ]] || fail "./usr/bin/$program has mode $mode, expected -rwxr-xr-x"
done
manpage=""
for candidate in ./usr/share/man/man1/veltcfg.1 ./usr/share/man/man1/veltcfg.1.gz; do
  if [[ -n $(entry_mode "$candidate") ]]; then
    manpage=$candidate
  fi
done
[[ -n $manpage ]] || {
  cat "$tmp/contents" >&2
  fail "package lacks ./usr/share/man/man1/veltcfg.1 (or .1.gz)"
}
unexpected=$(awk '$1 !~ /^d/ { print $6 }' "$tmp/contents" |
  grep -Ev '^\./usr/(bin/veltcfg(-sim|-check)?|share/man/man1/veltcfg(-sim)?\.1(\.gz)?|share/doc/veltcfg/.*)$' ||
  true)
[[ -z $unexpected ]] || fail "package holds unexpected files:"$'\n'"$unexpected"

# The packaged programs run: with no arguments both give the usage text and
# exit with status 100, before touching any card.
dpkg-deb -x "$deb" "$tmp/root"
for program in veltcfg veltcfg-sim; do
  status=0
  "$tmp/root/usr/bin/$program" >"$tmp/usage.out" 2>&1 || status=$?
  ((status == 100)) || fail "packaged $program without arguments exited $status, expected 100"
  grep -q 'program usage:' "$tmp/usage.out" ||
    fail "packaged $program without arguments printed no usage text"
done

# The packaged manual page: same as the source, renders without warnings,
# and has the exit statuses.
packaged_manpage="$tmp/root/${manpage#./}"
if [[ $packaged_manpage == *.gz ]]; then
  gzip -dc "$packaged_manpage" >"$tmp/veltcfg.1"
else
  cp "$packaged_manpage" "$tmp/veltcfg.1"
fi
cmp -s "$tmp/veltcfg.1" "$source_dir/doc/veltcfg.1" ||
  fail "packaged manual page differs from doc/veltcfg.1"

export MANPAGER=cat PAGER=cat MANWIDTH=80
if ! man --warnings -l "$packaged_manpage" >"$tmp/man.out" 2>"$tmp/man.err"; then
  cat "$tmp/man.err" >&2
  fail "man -l could not render the packaged manual page"
fi
[[ ! -s $tmp/man.err ]] || { cat "$tmp/man.err" >&2; fail "the manual page renders with warnings"; }
grep -q '^EXIT STATUS' "$tmp/man.out" || fail "rendered manual page has no EXIT STATUS section"
grep -Eq '^ +105 ' "$tmp/man.out" || fail "rendered manual page does not list exit status 105"
grep -Eq '^ +100 ' "$tmp/man.out" || fail "rendered manual page does not list exit status 100"
grep -q 'veltcfg-sim FILE CARD' "$tmp/man.out" || fail "rendered SYNOPSIS lacks veltcfg-sim"

# "man veltcfg-sim" reaches the same page, if the package has the link page.
if [[ -n $(entry_mode ./usr/share/man/man1/veltcfg-sim.1) ]]; then
  man -M "$tmp/root/usr/share/man" veltcfg-sim >"$tmp/sim.out" 2>"$tmp/sim.err" || {
    cat "$tmp/sim.err" >&2
    fail "man veltcfg-sim does not render from the package's manual pages"
  }
  grep -q '^EXIT STATUS' "$tmp/sim.out" || fail "man veltcfg-sim does not show the veltcfg page"
fi
note "package contents, control fields, programs and manual page are correct"

# ---------------------------------------------------------------- cmake --install

prefix="$tmp/prefix"
if ! "$cmake_command" --install "$build_dir" --prefix "$prefix" >"$tmp/install.log" 2>&1; then
  cat "$tmp/install.log" >&2
  fail "cmake --install $build_dir --prefix $prefix failed (log above)"
fi
for program in veltcfg veltcfg-sim veltcfg-check; do
  [[ -f $prefix/bin/$program && -x $prefix/bin/$program ]] ||
    fail "cmake --install did not put an executable bin/$program under the prefix"
done
[[ -f $prefix/share/man/man1/veltcfg.1 ]] ||
  fail "cmake --install did not put share/man/man1/veltcfg.1 under the prefix"
cmp -s "$prefix/share/man/man1/veltcfg.1" "$source_dir/doc/veltcfg.1" ||
  fail "installed manual page differs from doc/veltcfg.1"
note "cmake --install --prefix lays out bin/veltcfg, bin/veltcfg-sim, share/man/man1/veltcfg.1"

note "PASS"
