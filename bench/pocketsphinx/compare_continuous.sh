#!/bin/sh
# Helper against pocketsphinx_continuous on the librivox clips: wall time,
# CPU time (user+sys) and the transcript of each, one line per clip.
#   compare_continuous.sh HELPER [PACE]
# PACE 0 (default) streams as fast as the helper takes it, 1 as live audio.
# The helper's wall time runs from launch to exit, as continuous's does.
helper=$1
pace=${2:-0}
here=$(dirname "$0")
data=/usr/share/pocketsphinx/test/data/librivox
printf "%-44s %-10s %8s %8s\n" clip who wall_s cpu_s
for wav in "$data"/*.wav; do
  name=$(basename "$wav" .wav)
  python3 "$here/stream_clip.py" "$helper" --pace "$pace" "$wav" > /tmp/olvek-compare.json
  python3 - "$name" <<'PY'
import json, sys
d = json.load(open("/tmp/olvek-compare.json"))
print("%-44s %-10s %8.2f %8.2f  %s" % (sys.argv[1], "helper", d["wall_s"], d["user_cpu_s"] + d["sys_cpu_s"], " ".join(d["finals"])))
PY
  /usr/bin/time -f "%e %U %S" -o /tmp/olvek-compare.time pocketsphinx_continuous -infile "$wav" -logfn /dev/null > /tmp/olvek-compare.txt
  read -r wall user sys < /tmp/olvek-compare.time
  printf "%-44s %-10s %8.2f %8.2f  %s\n" "$name" continuous "$wall" "$(echo "$user + $sys" | bc)" "$(tr '\n' ' ' < /tmp/olvek-compare.txt)"
done
