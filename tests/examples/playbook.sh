#!/usr/bin/env bash
# The example playbook (doc/examples/load-unconfigured.yml) against localhost
# on the simulated host, as five hosts, each with a card in another state.
#   playbook.sh BUILD_DIR         (status 77, skipped, without ansible-playbook)
set -uo pipefail
command -v ansible-playbook >/dev/null ||
  { echo "SKIPPED: ansible-playbook is not installed (Debian: apt-get install ansible-core)"; exit 77; }
build=$1 example=$(dirname "$0")/../../doc/examples/load-unconfigured.yml
work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT
"$build/veltcfg-sample" "$work/design.bit" >/dev/null || exit 1
printf 'lab%s card=%s\n' 0 0 1 1 2 2 3 3 4 4 >"$work/hosts"
printf '[all:vars]\nansible_connection=local\nansible_python_interpreter=/usr/bin/python3\n' >>"$work/hosts"
ANSIBLE_LOCAL_TEMP=$work/tmp ANSIBLE_REMOTE_TEMP=$work/tmp ANSIBLE_NOCOLOR=1 \
  ansible-playbook -i "$work/hosts" "$example" -e "config_file=$work/design.bit" \
  -e "veltcfg=$build/veltcfg-sim veltcfg_list='$build/veltcfg-list --simulated'" \
  -e '{"veltcfg_environment": {"VELTCFG_SIM_HOST": "bus=4 slot=0; bus=5 slot=2 configured=no;
      bus=6 slot=0 configured=no fault=open; bus=7 slot=0 configured=no fault=no-done"}}' >"$work/out" 2>&1
status=$?
cat "$work/out"
expected='lab0: card 0 already configured
lab1: card 1 loaded
lab2: card 2 cannot be reached (not_configured): set up with fault=open: the card cannot be opened
lab3: card 3 load failed with status 102: Error: Not <DONE>; programming not completed.
lab4: card 4 not found'
seen=$(sed -n 's/^ *"msg": "\(lab[0-9]: [^\\"]*\).*/\1/p' "$work/out" | sort)
[[ $seen == "$expected" ]] || { echo "FAILED: reports differ:"; diff <(echo "$expected") <(echo "$seen"); exit 1; }
# The failed load fails its host, and so the play.
((status == 2)) || { echo "FAILED: ansible-playbook ended with status $status, not 2"; exit 1; }
echo "PASSED"
