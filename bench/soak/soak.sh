#!/usr/bin/env bash
# Soak run of the real program: ndi-lirafon runs headless (offscreen) on the built-in runtime,
# publishing to 127.0.0.1, for MINUTES while bench/runtime's rtp_timing receives its audio. At the
# end it prints lost packets, the p99 arrival deviation, the rate error in ppm, the program's
# resident memory (VmRSS) at the start and the end, its CPU use, and whether SIGTERM stopped it
# cleanly (exit status, time, SAP deletion).
#   bench/soak/soak.sh [MINUTES=30] [BUILD_DIR=build]
#   SOAK_PORT=N   audio port (default: one the system reports free; the video goes two above)
#   SOAK_WARMUP=S seconds after start before the start memory is read (default 10)
# Sends only to 127.0.0.1. The program's files go to a private XDG_RUNTIME_DIR, so copies running
# elsewhere on the computer neither see it nor change its copy number.
set -euo pipefail
minutes="${1:-30}"
build="${2:-build}"
warmup="${SOAK_WARMUP:-10}"
cd "$(dirname "$0")/../.."
here=bench/soak
program="$build/ui/ndi-lirafon"
timing="$build/bench/runtime/rtp_timing"
for tool in "$program" "$timing"; do
  if [ ! -x "$tool" ]; then
    echo "soak: $tool not built (cmake --build $build)" >&2
    exit 2
  fi
done
seconds=$((minutes * 60))

work=$(mktemp -d)
program_pid="" timing_pid="" sink_pid=""
cleanup() {
  for pid in "$program_pid" "$timing_pid" "$sink_pid"; do
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
      kill "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
    fi
  done
  rm -rf "$work"
}
trap cleanup EXIT

# Audio port P with P + 2 (video) free too, and a port for SAP; all on 127.0.0.1.
read -r audio_port sap_port < <(python3 - "${SOAK_PORT:-0}" <<'EOF'
import socket, sys
def free(port):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        s.bind(("127.0.0.1", port))
        return s
    except OSError:
        s.close()
        return None
wanted = int(sys.argv[1])
while True:
    a = free(wanted)
    if a is None:
        sys.exit(f"soak: port {wanted} is taken")
    port = a.getsockname()[1]
    v = free(port + 2) if port + 2 <= 65535 else None
    if v is not None:
        sap = free(0)
        sap_port = sap.getsockname()[1]
        # Closed before the ports are named, so the receivers can bind them at once.
        for s in (a, v, sap):
            s.close()
        print(port, sap_port)
        break
    a.close()
    if wanted:
        sys.exit(f"soak: port {port + 2} (video) is taken")
EOF
)
video_port=$((audio_port + 2))

vm() { awk -v key="$2:" '$1 == key { print $2 }' "/proc/$1/status" 2>/dev/null; }
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat" 2>/dev/null; }

python3 "$here/sink.py" "$video_port" "$sap_port" >"$work/sink.txt" &
sink_pid=$!
"$timing" "$audio_port" "$seconds" >"$work/timing.txt" 2>&1 &
timing_pid=$!
sleep 0.5

mkdir -m 0700 "$work/run"
env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen LIRAFON_NDI_RUNTIME=builtin \
  XDG_RUNTIME_DIR="$work/run" LIRAFON_RTP_DESTINATION=127.0.0.1 LIRAFON_RTP_PORT="$audio_port" \
  LIRAFON_SAP_DESTINATION="127.0.0.1:$sap_port" \
  "$program" >"$work/program.log" 2>&1 &
program_pid=$!
started=$(date +%s)
echo "soak: ndi-lirafon pid $program_pid, $minutes min, audio 127.0.0.1:$audio_port," \
  "video :$video_port, SAP :$sap_port"

sleep "$warmup"
if ! kill -0 "$program_pid" 2>/dev/null; then
  echo "soak: the program ended during start-up:" >&2
  cat "$work/program.log" >&2
  exit 1
fi
rss_start=$(vm "$program_pid" VmRSS)
ticks_start=$(cpu_ticks "$program_pid")
echo "soak: VmRSS after ${warmup} s: $rss_start kB"

# One memory line a minute, so growth shows while it runs.
minute=0
while kill -0 "$timing_pid" 2>/dev/null; do
  sleep 1
  elapsed=$(($(date +%s) - started))
  if [ $((elapsed / 60)) -gt "$minute" ]; then
    minute=$((elapsed / 60))
    echo "soak: minute $minute: VmRSS $(vm "$program_pid" VmRSS) kB"
  fi
  if ! kill -0 "$program_pid" 2>/dev/null; then
    echo "soak: the program ended after $elapsed s:" >&2
    cat "$work/program.log" >&2
    exit 1
  fi
done
timing_status=0
wait "$timing_pid" || timing_status=$?
timing_pid=""

rss_end=$(vm "$program_pid" VmRSS)
rss_peak=$(vm "$program_pid" VmHWM)
ticks_end=$(cpu_ticks "$program_pid")
measured=$(($(date +%s) - started - warmup))
hz=$(getconf CLK_TCK)

stop_begin=$(date +%s%N)
kill -TERM "$program_pid"
program_status=0
wait "$program_pid" || program_status=$?
stop_ms=$((($(date +%s%N) - stop_begin) / 1000000))
program_pid=""
sleep 0.5
kill -TERM "$sink_pid"
wait "$sink_pid" || true
sink_pid=""

echo
echo "=== soak: $minutes min of ndi-lirafon (built-in runtime, offscreen) to 127.0.0.1"
sed 's/^/receiver: /' "$work/timing.txt"
[ "$timing_status" -eq 0 ] || echo "receiver: ended with status $timing_status"
echo "memory:   VmRSS $rss_start kB after ${warmup} s, $rss_end kB at the end" \
  "($((rss_end - rss_start)) kB); peak VmHWM $rss_peak kB"
awk -v t=$((ticks_end - ticks_start)) -v hz="$hz" -v s="$measured" \
  'BEGIN { printf "cpu:      %.1f %% of one core on average over %d s\n", 100 * t / hz / s, s }'
echo "stop:     SIGTERM -> exit status $program_status after $stop_ms ms"
sed 's/^/sink:     /' "$work/sink.txt"
echo "program's own lines:"
sed 's/^/  /' "$work/program.log"
