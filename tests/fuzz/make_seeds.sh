#!/usr/bin/env bash
# Writes the fuzzer's seed corpus into OUT_DIR: sample .BIT files and PROM
# images of both packet formats from the sample generator, and a few edge
# files by hand.
#
#   tests/fuzz/make_seeds.sh VELTCFG_SAMPLE OUT_DIR
set -euo pipefail
if (($# != 2)); then
  echo "usage: $0 VELTCFG_SAMPLE OUT_DIR" >&2
  exit 2
fi
sample=$1
out=$2
mkdir -p "$out"

for size in 2000 20000; do
  for family in 32 16; do
    "$sample" --size "$size" --family "$family" --seed "$size" \
      "$out/sample_${size}_${family}.bit" "$out/sample_${size}_${family}.prom"
  done
done

# The .BIT signature: 00 09, nine bytes, 00 01 'a'.
signature='\x00\x09\x0f\xf0\x0f\xf0\x0f\xf0\x0f\xf0\x00\x00\x01a'
# One byte short of the 14 bytes the recognition reads first.
printf '\x00\x09\x0f\xf0\x0f\xf0\x0f\xf0\x0f\xf0\x00\x00\x01' >"$out/edge_13_bytes"
printf '\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00' >"$out/edge_14_zeros"
# A signature alone, then a header of four empty fields and no data.
printf "$signature" >"$out/edge_signature"
printf "$signature"'\x00\x00b\x00\x00c\x00\x00d\x00\x00e\x00\x00\x00\x00' >"$out/edge_empty_fields"
# A header whose first field claims the most a length can say.
printf "$signature"'\xff\xffname' >"$out/edge_longest_field"
# The start of a PROM image: dummy word, sync word (bit-reversed), a NOOP.
printf '\xff\xff\xff\xff\x55\x99\xaa\x66\x04\x00\x00\x00' >"$out/edge_prom_start"
# Eight bytes of a PROM start: recognisable, but shorter than the probe.
printf '\xff\xff\xff\xff\x55\x99\xaa\x66' >"$out/edge_prom_8_bytes"
