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
export XDG_RUNTIME_DIR="$tmp" LIRAFON_NDI_RUNTIME=builtin LIRAFON_RTP_DESTINATION=127.0.0.1
# Ports the system reports free, so a copy already running on the defaults is not disturbed.
read -r port sap < <(python3 -c 'import socket
def free():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0))
    n = s.getsockname()[1]; s.close(); return n
a = free()
while a > 65505: a = free()
print(a, free())')
export LIRAFON_RTP_PORT="$port" LIRAFON_SAP_DESTINATION="127.0.0.1:$sap"
xvfb-run -a -s "-screen 0 1024x768x24" build/ui/lirafon-window-snapshot --out "$out/window.png"
build/card/snapshot/lirafon-card-snapshot --out "$out/card.png"
# The web control panel, in Debian's Chromium (tests/browser has the driver).
node tests/browser/screenshot.mjs "$(pwd)/build/ui/ndi-lirafon" "$out/panel.png"
echo "wrote $out/window.png, $out/card.png and $out/panel.png"
