#!/usr/bin/env bash
# One probe judging 8 inputs of 16 channels: the CPU it takes per second of each input, and how
# long /metrics takes to answer at that size. The inputs are 60 s recordings of the generator's
# 16-channel tone under the EBU stereo ident, read as fast as the probe can judge them (so the CPU
# per input-second is the whole cost of judging, with nothing waiting on a clock); /metrics is
# fetched by curl while they are judged.
#   bench/analyser/probe_scale.sh [BUILD_DIR=build]
set -euo pipefail
build="${1:-build}"
folder=$(mktemp -d)
trap 'kill "$probe" 2>/dev/null || true; rm -rf "$folder"' EXIT
"$build/tests/analyser/render_tone" "$folder/path.wav" 60 16 all ebu 1000 smpte
inputs=()
for n in 1 2 3 4 5 6 7 8; do
  cp "$folder/path.wav" "$folder/studio-$n.wav"
  inputs+=("$folder/studio-$n.wav")
done
cat "${inputs[@]}" > /dev/null # into the page cache
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
/usr/bin/time -f "%U %S %M" -o "$folder/time" "$build/analyser/lirafon-check" --monitor \
  --listen "127.0.0.1:$port" "${inputs[@]}" > "$folder/events" 2> "$folder/said" &
probe=$!
times=()
while kill -0 "$probe" 2>/dev/null; do
  if t=$(curl -s -o /dev/null -w '%{time_total}' "http://127.0.0.1:$port/metrics" 2>/dev/null); then
    [ "$t" != "0.000000" ] && times+=("$t")
  fi
  sleep 0.2
done
wait "$probe" || true
read -r user system rss < "$folder/time"
awk -v u="$user" -v s="$system" -v m="$rss" 'BEGIN {
  cpu = u + s; printf "judging 8 inputs x 60 s of 16 channels: %.2f s of CPU, %.1f ms per input-second, peak memory %d MiB\n", cpu, cpu / 480 * 1000, m / 1024 }'
if [ "${#times[@]}" -gt 0 ]; then
  printf '%s\n' "${times[@]}" | sort -n | awk '{ v[NR] = $1 * 1000 } END {
    printf "/metrics while judging: %d answers, median %.1f ms, most %.1f ms\n", NR, v[int((NR + 1) / 2)], v[NR] }'
fi
echo "events: $(wc -l < "$folder/events") lines"
