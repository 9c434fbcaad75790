#!/usr/bin/env bash
# Pacing of the built-in runtime's audio on loopback: rtp_send_tone sends, rtp_timing receives and
# reports packets, losses, arrival deviation and rate error.
#   bench/runtime/measure_timing.sh [SECONDS=60] [CHANNELS=2] [BUILD_DIR=build]
# Sends only to 127.0.0.1, on a port the system reports free.
set -euo pipefail
seconds="${1:-60}"
channels="${2:-2}"
build="${3:-build}"
cd "$(dirname "$0")/../.."
bin="$build/bench/runtime"
port=$(python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
sink=$(python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
folder=$(mktemp -d)
trap 'rm -rf "$folder"' EXIT

"$bin/rtp_timing" "$port" "$seconds" &
receiver=$!
sleep 0.5
LIRAFON_RTP_DESTINATION=127.0.0.1 LIRAFON_RTP_PORT="$port" \
  LIRAFON_SAP_DESTINATION="127.0.0.1:$sink" XDG_RUNTIME_DIR="$folder" \
  "$bin/rtp_send_tone" $((seconds + 2)) "$channels"
wait "$receiver"
