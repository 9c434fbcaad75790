#!/usr/bin/env bash
# Every session description the built-in runtime writes, through the ST 2110 SDP checker
# (sdpoker from the npm registry, installed by scripts/install-deps.sh from the lock file here).
#   check_sdp.sh SDP_SAMPLES_PROGRAM
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
sdpoker="$here/node_modules/.bin/sdpoker"
if [ ! -x "$sdpoker" ]; then
  # Skipped, not failed: a plain build without the npm test tools (scripts/test.sh installs it).
  echo "skipped: sdpoker is not installed: run scripts/install-deps.sh (npm ci in tests/rtp)"
  exit 77
fi
folder=$(mktemp -d)
trap 'rm -rf "$folder"' EXIT
"$1" "$folder"
failed=0
checked=0
for file in "$folder"/*.sdp; do
  name=$(basename "$file" .sdp)
  flags=(--should --checkEndings)
  case "$name" in
    *-audio*) flags+=(--audioOnly --channelOrder) ;;
    *-video) flags+=(--videoOnly) ;;
    *) flags+=(--channelOrder) ;;
  esac
  case "$name" in
    multicast*) flags+=(--multicast) ;;
  esac
  case "$name" in
    *dup*) flags+=(--duplicate) ;;
  esac
  checked=$((checked + 1))
  # sdpoker's exit status is not enough on its own: it also says how many errors it found.
  if ! out=$("$sdpoker" "${flags[@]}" "$file" 2>&1) || [ -n "$out" ]; then
    echo "--- $name (${flags[*]}):"
    echo "$out"
    cat "$file"
    failed=1
  fi
done
echo "$checked session descriptions checked"
[ "$checked" -ge 22 ] && exit $failed
echo "expected at least 22 descriptions" >&2
exit 1
