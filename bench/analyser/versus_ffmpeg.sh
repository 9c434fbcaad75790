#!/usr/bin/env bash
# lirafon-check against FFmpeg's own loudness meter, side by side on one recording: 60 s of the
# generator's 16-channel multi-frequency set under GLITS, 24-bit WAV. lirafon-check does all it
# does (per channel: tone, frequency, level, place, polarity, dropouts, true peak, loudness,
# THD+N, noise floor unweighted and BS.468, hum, crosstalk; the pattern); FFmpeg measures EBU R128
# loudness and true peak (ebur128=peak=true). Both read the same file from the page cache, in
# turn, RUNS times each; the medians of their user + system CPU and their ratio are printed.
#   bench/analyser/versus_ffmpeg.sh [BUILD_DIR=build] [RUNS=7]
set -euo pipefail
build="${1:-build}"
runs="${2:-7}"
folder=$(mktemp -d)
trap 'rm -rf "$folder"' EXIT
wav="$folder/multi16.wav"
"$build/tests/analyser/render_tone" "$wav" 60 16 all glits multi smpte
cpu() { # COMMAND...: the user + system CPU seconds it took
  /usr/bin/time -f "%U %S" -o "$folder/time" "$@" > /dev/null 2>&1 || true
  awk '{ printf "%.3f\n", $1 + $2 }' "$folder/time"
}
cat "$wav" > /dev/null # into the page cache
ours=(); theirs=()
for _ in $(seq "$runs"); do
  ours+=("$(cpu "$build/analyser/lirafon-check" "$wav" --expect channels=16,level=smpte,ident=glits,frequency=multi)")
  theirs+=("$(cpu ffmpeg -nostdin -loglevel error -i "$wav" -af ebur128=peak=true -f null -)")
done
median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
a=$(median "${ours[@]}"); b=$(median "${theirs[@]}")
echo "lirafon-check: ${ours[*]} s (median $a s)"
echo "ffmpeg ebur128=peak=true: ${theirs[*]} s (median $b s)"
awk -v a="$a" -v b="$b" 'BEGIN { printf "ratio %.2f (lirafon-check / FFmpeg), %.1f ms of CPU per second of 16 channels\n", a / b, a / 60 * 1000 }'
