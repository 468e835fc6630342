#!/usr/bin/env bash
# Starts `quorvane --headless` with 20 enabled schedules, each with two monitors, and
# reports the CPU time it used over 60 idle seconds (no schedule falls due meanwhile).
# Idle use must stay under 1% of one core.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${QUORVANE_BUILD_DIR:-$top/build}
seconds=${1:-60}
work=$(mktemp -d)
trap 'kill $pid 2>/dev/null || true; rm -rf "$work"' EXIT
reg="$build/src/quorvane-reg"
root='HKLM\SOFTWARE\Halvorn\Quorvane\CurrentVersion'

# Schedules that run once a day at an hour that is not the current one or the next, so
# that only the idle work is measured.
hour=$(( ($(date +%-H) + 12) % 24 ))
{
  echo REGEDIT4
  for i in $(seq -w 1 20); do
    echo "[$root\\Schedule $i]"
    echo '"Type"=dword:00000001'
    echo '"Enabled"=dword:00000001'
    echo '"Interval"=dword:0000003c'
    echo '"Days"=dword:0000007f'
    printf '"Hours"=dword:%08x\n' $((1 << hour))
    echo "\"Description\"=\"Schedule number $i\""
    echo '"PhoneBook"=""'
    for m in Web Mail; do
      echo "[$root\\$m monitor $i]"
      echo '"Type"=dword:00000004'
      echo "\"ScheduledEvent\"=\"Schedule $i\""
    done
  done
} > "$work/setup.reg"
"$reg" --registry "$work/registry.db" import "$work/setup.reg"

"$build/src/quorvane" --data-dir "$work/data" --registry "$work/registry.db" --headless \
  > "$work/out.txt" 2>&1 &
pid=$!
sleep 2
ticks() { awk '{ print $14 + $15 }' "/proc/$pid/stat"; }
hz=$(getconf CLK_TCK)
start=$(ticks)
sleep "$seconds"
end=$(ticks)
kill -TERM $pid
wait $pid || true
used=$(( end - start ))
awk -v t="$used" -v hz="$hz" -v s="$seconds" 'BEGIN {
  cpu = t / hz; pct = 100 * cpu / s;
  printf "CPU used over %d idle seconds with 20 schedules: %.2f s (%.3f%% of one core)\n", s, cpu, pct;
  exit (pct < 1.0) ? 0 : 1 }'
