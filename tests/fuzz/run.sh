#!/usr/bin/env bash
# A bounded fuzzing run: builds veltcfg_fuzz (clang, libFuzzer, address and
# undefined-behaviour sanitizers), makes the seed corpus, fuzzes for SECONDS
# (default 60) and prints the number of inputs run. Exits non-zero when the
# fuzzer found a crash, a hang or a broken invariant; the input that did it
# is kept in the artifact folder it names.
#
#   tests/fuzz/run.sh [SECONDS]
#
# Environment:
#   VELTCFG_FUZZ_BUILD   build folder (default: build-fuzz in the checkout)
#   VELTCFG_FUZZ_CORPUS  corpus folder to keep between runs (default: a
#                        temporary one, removed at the end)
#   VELTCFG_FUZZ_JOBS    parallel fuzzing processes (default 1)
#   CXX                  the clang++ to build with (default clang++)
set -euo pipefail

seconds=${1:-60}
if ! [[ $seconds =~ ^[0-9]+$ ]] || ((seconds == 0)); then
  echo "usage: $0 [SECONDS]" >&2
  exit 2
fi

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${VELTCFG_FUZZ_BUILD:-$root/build-fuzz}
jobs=${VELTCFG_FUZZ_JOBS:-1}

echo "+ building veltcfg_fuzz in $build"
(cd "$root" && cmake --preset fuzz -B "$build" -DCMAKE_CXX_COMPILER="${CXX:-clang++}" >/dev/null)
cmake --build "$build" -j2 --target veltcfg_fuzz veltcfg-sample

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$here/make_seeds.sh" "$build/veltcfg-sample" "$work/seeds"

corpus=${VELTCFG_FUZZ_CORPUS:-$work/corpus}
artifacts=$build/fuzz-artifacts
mkdir -p "$corpus" "$artifacts"

# New inputs go to the first folder; the others are only read. The shared
# corpus of real bitstreams beside the checkout is a seed source when present.
dirs=("$corpus" "$work/seeds")
if [[ -d $root/../shared/corpus ]]; then
  dirs+=("$root/../shared/corpus")
fi

extra=()
if ((jobs > 1)); then
  extra=(-jobs="$jobs" -workers="$jobs")
fi

log=$work/fuzz.log
echo "+ fuzzing for ${seconds} s (${jobs} job(s)); corpus $corpus"
set +e
# From the work folder: with several jobs, libFuzzer writes fuzz-N.log there.
(
  cd "$work" &&
    ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} \
    UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
    "$build/tests/fuzz/veltcfg_fuzz" \
    -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" "${extra[@]}" "${dirs[@]}"
) >"$log" 2>&1
status=$?
set -e
cat "$work"/fuzz-*.log >>"$log" 2>/dev/null || true

grep -E '^INFO: seed corpus|^#[0-9]+[[:space:]]+(INITED|DONE)' "$log" | head -3 || true
executions=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' |
  awk '{ total += $1 } END { print total + 0 }')
echo "fuzz: ${executions} inputs run in ${seconds} s"

if ((status != 0)); then
  echo "fuzz: the fuzzer found a problem (status $status); the end of its log:" >&2
  tail -n 60 "$log" >&2
  exit 1
fi
echo "fuzz: no crash, hang or broken invariant found"
