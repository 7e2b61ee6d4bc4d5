#!/usr/bin/env bash
# The example playbook (doc/examples/load-cards.yml) against localhost on the
# simulated host, as six hosts whose cards are in each state it tells apart:
# on all of them (three fail), on those that succeed, and with a file the
# check refuses. Each run's status, reports and failed hosts, and no copy left.
#   playbook.sh BUILD_DIR         (status 77, skipped, without ansible-playbook)
set -uo pipefail
command -v ansible-playbook >/dev/null ||
  { echo "SKIPPED: ansible-playbook is not installed (Debian: apt-get install ansible-core)"; exit 77; }
build=$(realpath "$1") example=$(dirname "$0")/../../doc/examples/load-cards.yml
work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT
"$build/veltcfg-sample" "$work/design.bit" >/dev/null && head -c 5000 "$work/design.bit" >"$work/cut.bit" || exit 1
mkdir "$work/copies" && cat >"$work/hosts" <<HOSTS
all:
  vars: {ansible_connection: local, ansible_python_interpreter: /usr/bin/python3, remote_dir: $work/copies,
         veltcfg: $build/veltcfg-sim, veltcfg_list: $build/veltcfg-list --simulated, veltcfg_check: $build/veltcfg-check,
         veltcfg_environment: {VELTCFG_SIM_HOST: "{{ sim | default('') }}"}}
  hosts: {lab0: {sim: "bus=4 slot=0; bus=5 slot=2; bus=6 slot=0 subsystem=0x1234 configured=no"},
          lab1: {sim: "bus=4 slot=0 configured=no; bus=5 slot=2"}, lab2: {sim: "bus=4 slot=0 configured=no fault=in-use"},
          lab3: {sim: "bus=4 slot=0 fault=not-answering"}, lab4: {cards: [3]}, lab5: {cards: ["05:02.0"], force: true}}
HOSTS
expected="lab0: card 0 (0000:04:00.0) already configured
lab0: card 1 (0000:05:02.0) already configured
lab0: card 2 (0000:06:00.0) left alone: a PCI9056 of no known model
lab1: card 0 (0000:04:00.0) loaded
lab1: card 1 (0000:05:02.0) already configured
lab2: card 0 (0000:04:00.0) load failed with status 105: Can't gain access to 9056 card number 0. (veltcfg-list: not_configured; set up with fault=in-use: held by another process)
lab3: card 0 (0000:04:00.0) load failed with status 105: Can't access 9056 card control register. (veltcfg-list: not_answering)
lab4: card 3 not found
lab5: card 1 (0000:05:02.0) loaded"
# play FILE HOSTS STATUS FAILED_HOSTS: the run must end with STATUS, report
# what `expected` says of HOSTS (nothing when the check refuses FILE) and fail
# FAILED_HOSTS.
play() {
  ANSIBLE_LOCAL_TEMP=$work/tmp ANSIBLE_REMOTE_TEMP=$work/tmp ANSIBLE_NOCOLOR=1 \
    ansible-playbook -i "$work/hosts" "$example" -e "config_file=$work/$1" --limit "$2" >"$work/out" 2>&1
  local status=$? want && cat "$work/out"
  [[ $1 == cut.bit ]] && want="" || want=$(grep -E "^(${2//,/|}):" <<<"$expected")
  seen=$(sed -n 's/^ *"\(lab[0-9]: [^"]*\)",\{0,1\}$/\1/p' "$work/out" | sort)
  [[ $seen == "$want" ]] || { echo "FAILED: reports differ:"; diff <(echo "$want") <(echo "$seen"); exit 1; }
  seen=$(sed -n 's/^\(lab[0-9]\) *: .* failed=[1-9].*/\1/p' "$work/out" | xargs)
  [[ $seen == "$4" ]] || { echo "FAILED: failed hosts '$seen', not '$4'"; exit 1; }
  ((status == $3)) || { echo "FAILED: ansible-playbook ended with status $status, not $3"; exit 1; }
  [[ -z $(ls -A "$work/copies") ]] || { echo "FAILED: copies left: $(ls "$work/copies")"; exit 1; }
}
play design.bit lab0,lab1,lab2,lab3,lab4,lab5 2 "lab2 lab3 lab4"
play design.bit lab0,lab1,lab5 0 ""
play cut.bit lab1,lab5 2 lab1
echo "PASSED"
