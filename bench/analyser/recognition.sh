#!/usr/bin/env bash
# How long lirafon-check needs to recognise each line-up pattern from a cold start: the
# generator's tone rendered from its first sample, and the first second of audio at which the
# analyser's once-a-second report names the pattern (and, for the sequence and the
# multi-frequency set, every channel's place).
#   bench/analyser/recognition.sh [BUILD_DIR=build]
set -euo pipefail
build="${1:-build}"
cd "$(dirname "$0")/../.."
folder=$(mktemp -d)
trap 'rm -rf "$folder"' EXIT
while read -r name channels ident frequency want; do
  "$build/tests/analyser/render_tone" "$folder/$name.wav" 20 "$channels" all "$ident" "$frequency" smpte
  "$build/analyser/lirafon-check" --json "$folder/$name.wav" > "$folder/$name.json" || true
  python3 - "$folder/$name.json" "$name" "$want" <<'PY'
import json, sys
path, name, want = sys.argv[1:4]
for line in open(path):
    report = json.loads(line)
    placed = all(c["generatorChannel"] == c["channel"] for c in report["channels"])
    if report["ident"] == want and (want not in ("sequence",) or placed) and \
            (name != "multi16" or (report["multiFrequency"] and placed)):
        print(f"{name}: recognised after {report['seconds']:.0f} s of audio")
        break
else:
    print(f"{name}: not recognised in 20 s")
PY
done <<'LIST'
ebu8 8 ebu 1000 ebu
glits16 16 glits 1000 glits
sequence16 16 ebu sequence sequence
multi16 16 glits multi glits
LIST
