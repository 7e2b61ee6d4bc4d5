#!/usr/bin/env bash
# The example playbook (doc/examples/load-cards.yml) against localhost on the
# simulated host, as six hosts whose cards are in each state it tells apart:
# once with all of them (three fail), once with those that succeed, once
# with a file the check refuses. Each run's exit status, each host's report
# and failure, and that no copy of the file is left behind.
#   playbook.sh BUILD_DIR         (status 77, skipped, without ansible-playbook)
set -uo pipefail
command -v ansible-playbook >/dev/null ||
  { echo "SKIPPED: ansible-playbook is not installed (Debian: apt-get install ansible-core)"; exit 77; }
build=$(realpath "$1") example=$(dirname "$0")/../../doc/examples/load-cards.yml
work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT
mkdir "$work/remote"
"$build/veltcfg-sample" "$work/design.bit" >/dev/null && head -c 5000 "$work/design.bit" >"$work/cut.bit" || exit 1
cat >"$work/hosts" <<HOSTS
all:
  vars: {ansible_connection: local, ansible_python_interpreter: /usr/bin/python3, remote_dir: $work/remote,
         veltcfg: $build/veltcfg-sim, veltcfg_list: $build/veltcfg-list --simulated,
         veltcfg_check: $build/veltcfg-check, veltcfg_environment: {VELTCFG_SIM_HOST: "{{ sim | default('') }}"}}
  hosts:
    lab0: {sim: "bus=4 slot=0; bus=5 slot=2; bus=6 slot=0 subsystem=0x1234 configured=no"}
    lab1: {sim: "bus=4 slot=0 configured=no; bus=5 slot=2"}
    lab2: {sim: "bus=4 slot=0 configured=no fault=in-use"}
    lab3: {sim: "bus=4 slot=0 configured=no fault=not-answering"}
    lab4: {cards: [3]}
    lab5: {cards: ["05:02.0"], force: true}
HOSTS
# play FILE LIMIT STATUS REPORTS FAILED_HOSTS: runs the playbook on FILE for
# the hosts LIMIT; it must end with STATUS, report REPORTS and fail
# FAILED_HOSTS (the hosts' names, in order).
play() {
  ANSIBLE_LOCAL_TEMP=$work/tmp ANSIBLE_REMOTE_TEMP=$work/tmp ANSIBLE_NOCOLOR=1 \
    ansible-playbook -i "$work/hosts" "$example" -e "config_file=$work/$1" --limit "$2" >"$work/out" 2>&1
  local status=$? reports failed
  cat "$work/out"
  reports=$(sed -n 's/^ *"\(lab[0-9]: [^"]*\)",\{0,1\}$/\1/p' "$work/out" | sort)
  failed=$(sed -n 's/^\(lab[0-9]\) *: .* failed=[1-9].*/\1/p' "$work/out" | tr '\n' ' ')
  [[ $reports == "$4" ]] || { echo "FAILED: reports differ:"; diff <(echo "$4") <(echo "$reports"); exit 1; }
  [[ $failed == "$5" ]] || { echo "FAILED: failed hosts '$failed', not '$5'"; exit 1; }
  ((status == $3)) || { echo "FAILED: ansible-playbook ended with status $status, not $3"; exit 1; }
  [[ -z $(ls -A "$work/remote") ]] || { echo "FAILED: left in the remote folder: $(ls "$work/remote")"; exit 1; }
}
succeeding='lab0: card 0 (0000:04:00.0) already configured
lab0: card 1 (0000:05:02.0) already configured
lab0: card 2 (0000:06:00.0) left alone: a PCI9056 of no known model
lab1: card 0 (0000:04:00.0) loaded
lab1: card 1 (0000:05:02.0) already configured'
play design.bit all 2 "$succeeding
lab2: card 0 (0000:04:00.0) load failed with status 105: Can't gain access to 9056 card number 0. (veltcfg-list: set up with fault=in-use: held by another process)
lab3: card 0 (0000:04:00.0) load failed with status 105: Can't access 9056 card control register.
lab4: card 3 not found
lab5: card 1 (0000:05:02.0) loaded" "lab2 lab3 lab4 "
play design.bit lab0,lab1,lab5 0 "$succeeding
lab5: card 1 (0000:05:02.0) loaded" ""
play cut.bit lab1 2 "" "lab1 "
echo "PASSED"
