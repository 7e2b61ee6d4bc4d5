#!/usr/bin/env bash
# tests/windows/compare.sh NATIVE_BUILD WINDOWS_BUILD
#
# Runs the Windows programs under Wine and the native ones on each case below
# and compares standard output, standard error and exit status byte for byte
# (the memory base address masked); prints what differs, then
# "N passed, N failed". Corpus cases run when ../shared/corpus is there.
set -euo pipefail

native=$(realpath "$1")
windows=$(realpath "$2")
corpus=$(realpath -m "$(dirname "$0")/../../../shared/corpus")
export WINEPREFIX=${WINEPREFIX:-$windows/wine-prefix} WINEDEBUG=-all LC_ALL=C.UTF-8
work=$(mktemp -d)
trap 'wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT

# name | VELTCFG_SIM_HOST | program (sim, check, sample, convert) and arguments, as the
# shell reads them. Files a case writes as out.* are compared too.
cases=$(cat <<'TABLE'
demo .BIT, card 0          |                          | sim demo.bit 0
demo PROM image, card 1    |                          | sim demo.prom 1
16-bit packets             |                          | sim demo16.bit 0
check demo .BIT            |                          | check demo.bit
check 16-bit PROM image    |                          | check demo16.prom
corpus 01 (16-bit packets) |                          | sim 01_s3a_xc3s50a_picoblaze3_top.bit 0
check corpus 01            |                          | check 01_s3a_xc3s50a_picoblaze3_top.bit
corpus 08 (32-bit, CRC)    |                          | sim 08_a7_xc7a35t_arty_top.bit 1
check corpus 08            |                          | check 08_a7_xc7a35t_arty_top.bit
corpus 03 PROM image       |                          | sim 03_s3e_xc3s1200e_te0300_TE0300-1200.bin 0
corpus 05 refused image    |                          | sim 05_s6_dslogic_DSLogic33.bin 0
check corpus 05            |                          | check 05_s6_dslogic_DSLogic33.bin
flipped bit                |                          | sim flipped.bit 0
check flipped bit          |                          | check flipped.bit
cut file                   |                          | sim cut.bit 0
check cut file             |                          | check cut.bit
empty file                 |                          | sim empty.bit 0
missing file               |                          | sim nosuch.bit 0
Ctrl-C before card is open |                          | sim^C nosuch.bit 0
check missing file         |                          | check nosuch.bit
card number too high       |                          | sim demo.bit 16
card number not a number   |                          | sim demo.bit x
card not found             |                          | sim demo.bit 2
card by address            |                          | sim demo.bit 05:02.0
card number with more      |                          | sim demo.bit 1x
no arguments               |                          | sim
three arguments            |                          | sim demo.bit 0 1
check without file         |                          | check
sample without file        |                          | sample
sample files               |                          | sample --size 5000 out.bit out.prom
sample 16-bit files        |                          | sample --family 16 --size 3000 out.bit
convert demo .BIT          |                          | convert demo.bit out.bit
convert onto itself        |                          | convert demo.bit demo.bit
convert to a folder        |                          | convert demo.bit .
convert empty file         |                          | convert empty.bit out.bit
convert checksum error     |                          | convert bad.mcs out.bit
convert without files      |                          | convert
convert corpus 26 image 3  |                          | convert 26_mcs_xc6slx9_two_images.mcs out.bit --image 3
card can't be opened       | bus=4,slot=0,fault=open  | sim demo.bit 0
card can't be mapped       | bus=4,slot=0,fault=map   | sim demo.bit 0
DONE busy at start         | bus=4,slot=0,fault=busy  | sim demo.bit 0
DONE never reached         | bus=4,slot=0,fault=no-done | sim demo.bit 0
card gone mid-run          | bus=4,slot=0,fault=gone  | sim demo.bit 0
card of another device     | bus=4,slot=0,idcode=0x03631093 | sim demo.bit 0
check for another device   |                          | check --idcode 0x03631093 demo.bit
check corpus 19 (START)    |                          | check 19_s2_xc2s200_nf2_cpci.bit
malformed description      | bus=4,slot=x             | sim demo.bit 0
non-ASCII name             |                          | sim démo-ü.bit 0
check non-ASCII name       |                          | check démo-ü.bit
missing non-ASCII name     |                          | sim nosuch-é.bit 0
control bytes in the name  |                          | sim $'nosuch-\e[2J\x7f\u009b.bit' 0
control bytes as card      |                          | sim demo.bit $'1\e[H'
TABLE
)

# The input files, made by the native programs, in the folder of each side.
mkdir "$work/in" "$work/native" "$work/windows"
(
  cd "$work/in"
  "$native/veltcfg-sample" demo.bit demo.prom
  "$native/veltcfg-sample" --family 16 demo16.bit demo16.prom
  cp demo.bit démo-ü.bit
  cp demo.bit flipped.bit
  printf '\x5a' | dd of=flipped.bit bs=1 seek=50000 conv=notrunc status=none
  head -c 60000 demo.bit > cut.bit
  : > empty.bit
  printf ':0400000001020304F3\r\n:00000001FF\r\n' > bad.mcs
  if [[ -d $corpus ]]; then ln -s "$corpus"/* .; fi
)
for side in native windows; do ln -s "$work"/in/* "$work/$side/"; done
wine wineboot -i > /dev/null 2>&1 < /dev/null  # makes the prefix, and says so

# PROGRAM^C: its standard output a full pipe, so that it waits at its first
# write (before the card is open), then SIGINT, which Wine hands a Windows
# program as Ctrl-C; the pipe emptied after 10 s for one that goes on. Ended
# by it: 130 on both sides (Wine: STATUS_CONTROL_C_EXIT, 58). Output not kept.
interrupted() {
  local status=0
  mkfifo "$work/pipe" && exec 8<>"$work/pipe"
  dd if=/dev/zero of="$work/pipe" bs=4096 oflag=nonblock 2>/dev/null || true
  env --default-signal=INT "$@" > "$work/pipe" &
  sleep 5 && kill -INT $!
  timeout 10 tail --pid=$! -f /dev/null ||
    dd if="$work/pipe" iflag=nonblock of=/dev/null bs=1M 2>/dev/null || true
  wait $! || status=$?
  exec 8<&- && rm "$work/pipe"
  return $((status == 58 ? 130 : status))
}

# Runs a case on one side ($1): $2 VELTCFG_SIM_HOST, then the command.
run_side() {
  local side=$1 environment=$2 program=${3%^C} via=()
  [[ $3 == *^C ]] && via=(interrupted)
  shift 3
  local command=("$native/veltcfg-$program")
  [[ $side == windows ]] && command=(wine "$windows/veltcfg-$program.exe")
  local status=0
  (cd "$work/$side" && VELTCFG_SIM_HOST=$environment "${via[@]}" "${command[@]}" "$@" \
    < /dev/null > "$work/$side.out" 2> "$work/$side.err") || status=$?
  echo "$status" > "$work/$side.status"
  sed -i 's/\(memory base: *0x\)[0-9A-F]*/\1(masked)/' "$work/$side.out"
  if compgen -G "$work/$side/out.*" > /dev/null; then
    cat "$work/$side"/out.* >> "$work/$side.out"
    rm -f "$work/$side"/out.*
  fi
}

passed=0 failed=0 skipped=0
while IFS='|' read -r name environment command; do
  name=${name%"${name##*[! ]}"} environment=${environment// /} command=${command# }
  eval "arguments=($command)"
  if [[ ${arguments[1]:-} == [0-9][0-9]_* && ! -d $corpus ]]; then
    skipped=$((skipped + 1))
    continue
  fi
  run_side native "$environment" "${arguments[@]}"
  run_side windows "$environment" "${arguments[@]}"
  same=1
  for part in out err status; do
    if ! cmp -s "$work/native.$part" "$work/windows.$part"; then
      ((same == 0)) || echo "FAILED: $name ($command)"
      same=0
      echo "  $part differs (< native, > windows):"
      diff <(od -c "$work/native.$part") <(od -c "$work/windows.$part") | head -20 | sed 's/^/    /' || true
    fi
  done
  if ((same)); then passed=$((passed + 1)); else failed=$((failed + 1)); fi
done <<< "$cases"

echo "$passed passed, $failed failed$( ((skipped == 0)) || echo ", $skipped skipped")"
((failed == 0))
