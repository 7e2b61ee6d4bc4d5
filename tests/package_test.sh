#!/usr/bin/env bash
# package_test.sh BUILD_DIR
#
# Builds the Debian package from BUILD_DIR (already built) into a temporary
# directory and checks it: the files it holds, its control fields, lintian's
# verdict, that the udev rule shown in doc/hardware.md and the manual page is
# the one packaged, that the packaged programs run from PATH and that the
# packaged manual page renders. Then checks that "cmake --install BUILD_DIR
# --prefix DIR" lays out the same files, less the Debian ones.
#
# With VELTCFG_PACKAGE_INSTALL=1 (as root; .ci/run sets it) it also installs
# the package with dpkg, runs the installed programs, installs it again and
# purges it.
#
# Needs cmake/cpack, dpkg-deb and man (package man-db); lintian when present.
# CMAKE and CPACK may name the cmake and cpack to use (the build's own, when
# run from ctest).
set -euo pipefail

fail() {
  echo "package_test: FAIL: $*" >&2
  exit 1
}

note() {
  echo "package_test: $*"
}

# What the package installs, and the programs among it. A new installed
# program goes into both lists (and gets a manual page, or lintian warns).
programs=(veltcfg veltcfg-sim veltcfg-check veltcfg-convert veltcfg-list veltcfg-sample)
expected_files=(
  ./usr/bin/veltcfg
  ./usr/bin/veltcfg-check
  ./usr/bin/veltcfg-convert
  ./usr/bin/veltcfg-list
  ./usr/bin/veltcfg-sample
  ./usr/bin/veltcfg-sim
  ./usr/lib/udev/rules.d/60-veltcfg.rules
  ./usr/share/bash-completion/completions/veltcfg
  ./usr/share/bash-completion/completions/veltcfg-check
  ./usr/share/bash-completion/completions/veltcfg-convert
  ./usr/share/bash-completion/completions/veltcfg-list
  ./usr/share/bash-completion/completions/veltcfg-sample
  ./usr/share/bash-completion/completions/veltcfg-sim
  ./usr/share/doc/veltcfg/changelog.Debian.gz
  ./usr/share/doc/veltcfg/copyright
  ./usr/share/lintian/overrides/veltcfg
  ./usr/share/man/man1/veltcfg-check.1.gz
  ./usr/share/man/man1/veltcfg-convert.1.gz
  ./usr/share/man/man1/veltcfg-list.1.gz
  ./usr/share/man/man1/veltcfg-sample.1.gz
  ./usr/share/man/man1/veltcfg-sim.1.gz
  ./usr/share/man/man1/veltcfg.1.gz
  ./usr/share/veltcfg/61-veltcfg-vfio.rules
)
# Those that only the package has, not "cmake --install".
debian_only='^\./usr/share/(doc|lintian)/'

# ---------------------------------------------------------------- arguments, tools

(($# == 1)) || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
build_dir=$(cd "$1" 2>/dev/null && pwd) || fail "build directory '$1' does not exist"
[[ -f $build_dir/CPackConfig.cmake ]] ||
  fail "$build_dir/CPackConfig.cmake is missing: configure the build with cmake first"
[[ -f $build_dir/CMakeCache.txt ]] || fail "$build_dir/CMakeCache.txt is missing"
[[ -x $build_dir/veltcfg-sample ]] || fail "$build_dir/veltcfg-sample is missing: build first"
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
rule_file=$source_dir/packaging/60-veltcfg.rules
[[ -f $source_dir/doc/veltcfg.1 ]] || fail "manual page $source_dir/doc/veltcfg.1 is missing"
[[ -f $rule_file ]] || fail "udev rule $rule_file is missing"

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
installed=0
cleanup() {
  if ((installed)); then
    dpkg --purge veltcfg >/dev/null 2>&1 || echo "package_test: could not purge veltcfg" >&2
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT

export MANPAGER=cat PAGER=cat MANWIDTH=80 LC_ALL=C

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
maintainer=$(field Maintainer)
[[ $maintainer =~ ^[^\<]+\ \<[^@\ ]+@[a-z0-9.-]+\.[a-z]+\>$ && $maintainer != *localhost* ]] ||
  fail "Maintainer is '$maintainer', expected 'Name <address>' with a real address"
[[ -n $(field Description) ]] || fail "Description is empty"
depends=$(field Depends)
[[ $depends == *libc6* && $depends == *adduser* ]] ||
  fail "Depends is '$depends', expected it to name libc6 and adduser (for postinst)"

# Contents: exactly the expected files, the programs executable.
dpkg-deb -c "$deb" >"$tmp/contents"
awk '$1 !~ /^d/ { print $6 }' "$tmp/contents" | sort >"$tmp/files"
printf '%s\n' "${expected_files[@]}" | sort >"$tmp/expected-files"
diff -u "$tmp/expected-files" "$tmp/files" >&2 ||
  fail "the package's files differ from the expected ones (- expected, + packaged)"
for program in "${programs[@]}"; do
  mode=$(awk -v path="./usr/bin/$program" '$6 == path { print $1 }' "$tmp/contents")
  [[ $mode == -rwxr-xr-x ]] || fail "./usr/bin/$program has mode $mode, expected -rwxr-xr-x"
done

dpkg-deb -x "$deb" "$tmp/root"
root=$tmp/root

# The changelog's newest entry is this version: a new version needs an entry.
changelog_head=$(gzip -dc "$root/usr/share/doc/veltcfg/changelog.Debian.gz" | head -n 1)
[[ $changelog_head == "veltcfg ($expected_version) "* ]] ||
  fail "changelog.Debian.gz starts '$changelog_head', expected an entry for $expected_version"

# lintian: no errors and no warnings (each accepted one is overridden, with
# its reason, in packaging/debian/lintian-overrides), and no program built
# without Debian's hardening.
if command -v lintian >/dev/null 2>&1; then
  if ! lintian -I --pedantic --fail-on error,warning "$deb" >"$tmp/lintian.out" 2>&1 ||
    grep ' hardening-' "$tmp/lintian.out" >&2; then
    cat "$tmp/lintian.out" >&2
    fail "lintian reports errors, warnings or hardening tags (above)"
  fi
  note "lintian: no errors, warnings or hardening tags"
else
  note "lintian is not installed: lintian check skipped (Debian: apt-get install lintian)"
fi

# ---------------------------------------------------------------- the udev rule

# The packaged rule is the source's, and doc/hardware.md and the manual page
# show it whole: the guide as the fenced block that holds the rule's match,
# the manual page (rendered) as lines that equal the rule's once their indent
# is gone.
cmp -s "$root/usr/lib/udev/rules.d/60-veltcfg.rules" "$rule_file" ||
  fail "packaged udev rule differs from packaging/60-veltcfg.rules"
awk '/^```/ { if (inside) { if (block ~ /ATTR\{vendor\}=="0x10b5"/) { printf "%s", block; exit }
                            inside = 0; block = "" }
              else inside = 1
              next }
     inside { block = block $0 "\n" }' "$source_dir/doc/hardware.md" >"$tmp/guide.rules"
[[ -s $tmp/guide.rules ]] || fail "doc/hardware.md shows no udev rule (a fenced block matching 0x10b5)"
diff -u "$rule_file" "$tmp/guide.rules" >&2 ||
  fail "doc/hardware.md's udev rule differs from packaging/60-veltcfg.rules (- packaged, + guide)"

man -l "$root/usr/share/man/man1/veltcfg.1.gz" >"$tmp/man-rule.out" 2>/dev/null ||
  fail "man -l could not render the packaged manual page"
first_line=$(head -n 1 "$rule_file")
start=$(sed 's/^ *//' "$tmp/man-rule.out" | grep -n -x -F -- "$first_line" | head -n 1 | cut -d: -f1)
[[ -n $start ]] || fail "the rendered manual page does not show the udev rule ('$first_line')"
indent=$(sed -n "${start}p" "$tmp/man-rule.out" | sed 's/[^ ].*//' | wc -L)
sed -n "${start},$((start + $(wc -l <"$rule_file") - 1))p" "$tmp/man-rule.out" |
  cut -c $((indent + 1))- >"$tmp/man.rules"
diff -u "$rule_file" "$tmp/man.rules" >&2 ||
  fail "the manual page's udev rule differs from packaging/60-veltcfg.rules (- packaged, + man)"
note "udev rule: packaged, doc/hardware.md and manual page agree"

# ---------------------------------------------------------------- programs, manual page

"$build_dir/veltcfg-sample" "$tmp/sample.bit" >/dev/null || fail "veltcfg-sample failed"

# Runs the programs by name, with BINDIR first on PATH: without arguments
# veltcfg and veltcfg-sim print their usage text and exit 100 before touching
# any card, veltcfg-check exits 2; the manual page's examples: veltcfg-sample
# writes a sample, veltcfg-sim loads it into its card 0, and the .BIT file
# veltcfg-convert makes of its PROM image too; veltcfg-check finds that a
# card would configure from the sample.
run_programs() {
  local bindir=$1 program status
  for program in "${programs[@]}"; do
    [[ $(PATH="$bindir:$PATH" command -v "$program") == "$bindir/$program" ]] ||
      fail "$program on PATH is not $bindir/$program"
    [[ $program != veltcfg-check && $program != veltcfg-convert && $program != veltcfg-list &&
      $program != veltcfg-sample ]] || continue
    status=0
    PATH="$bindir:$PATH" "$program" >"$tmp/usage.out" 2>&1 || status=$?
    ((status == 100)) || fail "$bindir/$program without arguments exited $status, expected 100"
    grep -q 'program usage:' "$tmp/usage.out" ||
      fail "$bindir/$program without arguments printed no usage text"
  done
  (cd "$tmp" && PATH="$bindir:$PATH" veltcfg-sample demo.bit demo.prom) ||
    fail "$bindir/veltcfg-sample demo.bit demo.prom failed"
  status=0
  PATH="$bindir:$PATH" veltcfg-sim "$tmp/demo.prom" 0 >"$tmp/load.out" 2>&1 || status=$?
  ((status == 0)) || { cat "$tmp/load.out" >&2; fail "$bindir/veltcfg-sim loading demo.prom exited $status"; }
  status=0
  PATH="$bindir:$PATH" veltcfg-convert "$tmp/demo.prom" "$tmp/converted.bit" >/dev/null &&
    PATH="$bindir:$PATH" veltcfg-sim "$tmp/converted.bit" 0 >"$tmp/load.out" 2>&1 || status=$?
  ((status == 0)) || { cat "$tmp/load.out" >&2; fail "$bindir/veltcfg-convert of demo.prom did not load: $status"; }
  status=0
  PATH="$bindir:$PATH" veltcfg-sim "$tmp/sample.bit" 0 >"$tmp/load.out" 2>&1 || status=$?
  ((status == 0)) || { cat "$tmp/load.out" >&2; fail "$bindir/veltcfg-sim loading a sample exited $status"; }
  grep -q '^Function complete\.$' "$tmp/load.out" ||
    fail "$bindir/veltcfg-sim loading a sample did not end with 'Function complete.'"
  status=0
  PATH="$bindir:$PATH" veltcfg-list --simulated >"$tmp/list.out" 2>&1 || status=$?
  ((status == 0)) && grep -q '^0000:05:02\.0  1     RV80-C ' "$tmp/list.out" ||
    { cat "$tmp/list.out" >&2; fail "$bindir/veltcfg-list --simulated exited $status"; }
  status=0
  PATH="$bindir:$PATH" veltcfg-check >/dev/null 2>&1 || status=$?
  ((status == 2)) || fail "$bindir/veltcfg-check without arguments exited $status, expected 2"
  status=0
  PATH="$bindir:$PATH" veltcfg-check --part xc7a35t --quiet "$tmp/sample.bit" >"$tmp/check.out" 2>&1 ||
    status=$?
  ((status == 0)) && grep -qx "$tmp/sample.bit: a card would configure" "$tmp/check.out" ||
    { cat "$tmp/check.out" >&2; fail "$bindir/veltcfg-check on a sample exited $status"; }
}
run_programs "$root/usr/bin"

# Checks the rendered page in $1 (and its warnings in $2).
check_manual_page() {
  [[ ! -s $2 ]] || { cat "$2" >&2; fail "the manual page renders with warnings"; }
  grep -q '^EXIT STATUS' "$1" || fail "rendered manual page has no EXIT STATUS section"
  grep -Eq '^ +105 ' "$1" || fail "rendered manual page does not list exit status 105"
  grep -Eq '^ +100 ' "$1" || fail "rendered manual page does not list exit status 100"
  grep -q 'veltcfg-sim FILE CARD' "$1" || fail "rendered SYNOPSIS lacks veltcfg-sim"
  grep -q 'veltcfg-check \[--idcode ID | --part NAME\] \[--json | --quiet\]' "$1" ||
    fail "rendered SYNOPSIS lacks veltcfg-check"
  grep -q 'veltcfg-convert \[--image N\] \[--part NAME\] \[--\] IN OUT' "$1" ||
    fail "rendered SYNOPSIS lacks veltcfg-convert"
  grep -q 'veltcfg-sample \[--size BYTES\]' "$1" || fail "rendered SYNOPSIS lacks veltcfg-sample"
  grep -q 'veltcfg-list \[--simulated\] \[--json\]' "$1" || fail "rendered SYNOPSIS lacks veltcfg-list"
}
packaged_manpage=$root/usr/share/man/man1/veltcfg.1.gz
gzip -dc "$packaged_manpage" | cmp -s - "$source_dir/doc/veltcfg.1" ||
  fail "packaged manual page differs from doc/veltcfg.1"
man --warnings -l "$packaged_manpage" >"$tmp/man.out" 2>"$tmp/man.err" || {
  cat "$tmp/man.err" >&2
  fail "man -l could not render the packaged manual page"
}
check_manual_page "$tmp/man.out" "$tmp/man.err"
# "man veltcfg-sim" reaches the same page through the link.
man -M "$root/usr/share/man" veltcfg-sim >"$tmp/sim.out" 2>"$tmp/sim.err" || {
  cat "$tmp/sim.err" >&2
  fail "man veltcfg-sim does not render from the package's manual pages"
}
cmp -s "$tmp/man.out" "$tmp/sim.out" || fail "man veltcfg-sim does not show the veltcfg page"
for program in veltcfg-check veltcfg-convert veltcfg-list veltcfg-sample; do
  man -M "$root/usr/share/man" "$program" 2>/dev/null | cmp -s "$tmp/man.out" - ||
    fail "man $program does not show the veltcfg page"
done
bash -n "$source_dir/packaging/bash-completion/veltcfg" || fail "the bash completion script does not parse"
note "package contents, control fields, programs and manual page are correct"

# ---------------------------------------------------------------- dpkg -i, dpkg --purge

if [[ ${VELTCFG_PACKAGE_INSTALL:-} == 1 ]]; then
  ((EUID == 0)) || fail "VELTCFG_PACKAGE_INSTALL=1 needs root (it installs the package with dpkg)"
  # One install test at a time on this machine; never over a veltcfg that
  # someone installed.
  exec {lock}>/run/lock/veltcfg-package-test.lock
  flock -w 300 "$lock" || fail "another package test holds /run/lock/veltcfg-package-test.lock"
  if dpkg-query -W -f='${Status}' veltcfg 2>/dev/null | grep -q 'ok installed'; then
    fail "veltcfg is installed on this system already; remove it (dpkg --purge veltcfg) or unset VELTCFG_PACKAGE_INSTALL"
  fi
  note "installing the package with dpkg -i"
  installed=1
  dpkg -i "$deb" >"$tmp/dpkg.log" 2>&1 || { cat "$tmp/dpkg.log" >&2; fail "dpkg -i failed"; }
  getent group veltcfg >/dev/null || fail "postinst did not create the group veltcfg"
  # From PATH as a user has it: /usr/bin before anything in /usr/local.
  PATH=/usr/bin:/bin run_programs /usr/bin
  man veltcfg >"$tmp/installed-man.out" 2>"$tmp/installed-man.err" ||
    { cat "$tmp/installed-man.err" >&2; fail "man veltcfg fails after installing"; }
  check_manual_page "$tmp/installed-man.out" "$tmp/installed-man.err"
  # Installing over itself runs postinst with the group already there.
  dpkg -i "$deb" >"$tmp/dpkg.log" 2>&1 || { cat "$tmp/dpkg.log" >&2; fail "dpkg -i a second time failed"; }
  dpkg --purge veltcfg >"$tmp/dpkg.log" 2>&1 || { cat "$tmp/dpkg.log" >&2; fail "dpkg --purge failed"; }
  installed=0
  for file in "${expected_files[@]}"; do
    [[ ! -e ${file#.} && ! -L ${file#.} ]] || fail "${file#.} is left after dpkg --purge"
  done
  note "dpkg -i, the installed programs and manual page, dpkg -i again, dpkg --purge: correct"
else
  note "install check skipped (VELTCFG_PACKAGE_INSTALL=1, as root, installs and purges the package)"
fi

# ---------------------------------------------------------------- cmake --install

prefix="$tmp/prefix"
if ! "$cmake_command" --install "$build_dir" --prefix "$prefix" >"$tmp/install.log" 2>&1; then
  cat "$tmp/install.log" >&2
  fail "cmake --install $build_dir --prefix $prefix failed (log above)"
fi
(cd "$prefix" && find . ! -type d | sed 's|^\./|./usr/|' | sort) >"$tmp/installed-files"
grep -Ev "$debian_only" "$tmp/expected-files" | diff -u - "$tmp/installed-files" >&2 ||
  fail "cmake --install lays out other files than the package, less its Debian ones (- package, + installed)"
gzip -dc "$prefix/share/man/man1/veltcfg.1.gz" | cmp -s - "$source_dir/doc/veltcfg.1" ||
  fail "installed manual page differs from doc/veltcfg.1"
note "cmake --install --prefix lays out the package's files, less the Debian ones"

note "PASS"
