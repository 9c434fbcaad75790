#!/usr/bin/env bash
# Remakes the pictures of the manual: the main window under Xvfb and the start-up ident card.
#   scripts/screenshot.sh [OUTDIR]   (default docs/images)
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-docs/images}"
mkdir -p "$out"
# The window runs on the built-in runtime, publishing to 127.0.0.1 only, with its files in a
# private temporary folder.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export XDG_RUNTIME_DIR="$tmp" LIRAFON_NDI_RUNTIME=builtin
xvfb-run -a -s "-screen 0 1024x768x24" build/ui/lirafon-window-snapshot --out "$out/window.png"
build/card/snapshot/lirafon-card-snapshot --out "$out/card.png"
echo "wrote $out/window.png and $out/card.png"
