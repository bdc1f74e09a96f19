#!/usr/bin/env bash
# scripts/run.sh without a graphical session stops at once with a message and
# a failure, before it installs or builds anything (apt-get and cmake are
# replaced by stand-ins that note being called).
set -u
root=$1
stand_ins=$(mktemp -d)
trap 'rm -rf "$stand_ins"' EXIT
for tool in apt-get cmake sudo; do
  printf '#!/bin/sh\necho "%s" >> "%s/called"\nexit 1\n' "$tool" "$stand_ins" > "$stand_ins/$tool"
  chmod +x "$stand_ins/$tool"
done

output=$(env -u DISPLAY -u WAYLAND_DISPLAY PATH="$stand_ins:$PATH" timeout 60 bash "$root/scripts/run.sh" 2>&1)
status=$?
echo "$output"
[ "$status" -ne 0 ] && [ "$status" -ne 124 ] || { echo "FAIL: exit status $status"; exit 1; }
grep -q "needs a graphical session" <<<"$output" || { echo "FAIL: no message about the graphical session"; exit 1; }
[ ! -e "$stand_ins/called" ] || { echo "FAIL: called $(tr '\n' ' ' < "$stand_ins/called")"; exit 1; }
echo "PASS"
