#!/usr/bin/env bash
# The A/V offset through receivers and containers the test suite does not record with: the
# generator in its A/V sync mode on the built-in runtime (loopback only), recorded from its
# session description by GStreamer (rtpbin lines the streams up by their RTCP sender reports,
# in its default jitter-buffer mode and in the one that keeps the RTP timestamps)
# and by FFmpeg, whose recording is then carried into MPEG-TS (AAC) and MXF (MPEG-2 422 on a
# 25 Hz grid). Each is read by lirafon-check. MXF keeps pictures on its edit-unit grid only, so
# its regrid moves the pictures by the recording's picture phase; the script prints that
# expected shift beside the reading.
#   bench/analyser/av_receivers.sh [BUILD_DIR=build] [RTP_PORT=27104]
set -euo pipefail
build="$(realpath "${1:-build}")"
port="${2:-27104}"
folder=$(mktemp -d)
generator=""
cleanup() {
  if [ -n "$generator" ]; then
    kill "$generator" 2> /dev/null
    wait "$generator" || true
  fi
  rm -rf "$folder"
}
trap cleanup EXIT
mkdir -m 700 "$folder/run"
export QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$folder/run" LIRAFON_NDI_RUNTIME=builtin \
  LIRAFON_RTP_PORT="$port" LIRAFON_SAP_DESTINATION="127.0.0.1:$((port + 200))" \
  LIRAFON_CONTROL_PORT=off LIRAFON_PTP=off
"$build/ui/ndi-lirafon" --channels 2 --av-sync > /dev/null 2>&1 &
generator=$!
sdp="$folder/run/qel-ndi-lirafon/QEL Audio Tone 1.sdp"
for _ in $(seq 300); do [ -f "$sdp" ] && break; sleep 0.02; done

# One receiver at a time: both bind the session's ports.
# GStreamer twice: rtpbin's default jitter-buffer mode times packets by their arrival, smoothed,
# then lines the streams up by the reports; mode none keeps the RTP timestamps, so the reports
# alone place the streams.
for mode in slave none; do
  timeout -s INT 14 gst-launch-1.0 -e filesrc location="$sdp" ! \
    sdpdemux name=d latency=200 "rtpbin0::buffer-mode=$mode" \
    d. ! queue ! rtpL24depay ! audioconvert ! audio/x-raw,format=S24LE ! queue ! mux. \
    d. ! queue ! rtpvrawdepay ! videoconvert ! jpegenc ! queue ! mux. \
    matroskamux name=mux timecodescale=10000 ! filesink location="$folder/gstreamer-$mode.mkv" \
    > "$folder/gstreamer.log" 2>&1 || true
done
ffmpeg -nostdin -y -loglevel error -protocol_whitelist file,udp,rtp -localaddr 127.0.0.1 \
  -buffer_size 4194304 -t 12 -i "$sdp" -fps_mode passthrough -enc_time_base:v 1:90000 \
  -c:v libx264 -preset ultrafast -pix_fmt yuv420p \
  -af aresample=async=1:min_hard_comp=0.0005:first_pts=0 -c:a pcm_s24le "$folder/ffmpeg.mkv"
kill "$generator"
wait "$generator" || true
generator=""

ffmpeg -nostdin -y -loglevel error -i "$folder/ffmpeg.mkv" -c:v copy -c:a aac -b:a 256k \
  "$folder/ffmpeg.ts"
ffmpeg -nostdin -y -loglevel error -i "$folder/ffmpeg.mkv" -c:v mpeg2video -q:v 4 \
  -pix_fmt yuv422p -r 25 -c:a pcm_s24le "$folder/ffmpeg.mxf"
# The pictures' place on the 40 ms grid: the most common remainder (a recorder clamps its first).
phase=$(ffprobe -v error -select_streams v -show_entries packet=pts_time -of csv=p=0 \
  "$folder/ffmpeg.mkv" | awk '{ n[int($1 * 1000 + 0.5) % 40]++ }
  END { for (r in n) if (n[r] > best) { best = n[r]; phase = r }; print phase }')
for name in gstreamer-slave.mkv gstreamer-none.mkv ffmpeg.mkv ffmpeg.ts ffmpeg.mxf; do
  echo "== $name"
  "$build/analyser/lirafon-check" "$folder/$name" --expect channels=2,level=ebu,ident=ebu |
    grep -E "A/V|OK|FAULT" || true
done
echo "MXF: the recording's pictures sit ${phase} ms past its 25 Hz grid;" \
  "the regrid moves them $(((40 - phase) % 40)) ms later (sound ahead by as much)"
