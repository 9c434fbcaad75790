#!/usr/bin/env bash
# Installs what the project needs, and the card's font and the vendor's NDI runtime.
#   scripts/install-deps.sh [run|all]   (default all)
# run: what building the programs and running them need (scripts/run.sh): compiler, Qt, the
#      caption font, the vendor's NDI runtime and avahi-daemon, through which that runtime
#      announces the source by mDNS.
# all: also what the tests and benchmarks need (scripts/test.sh): GoogleTest, Google Benchmark,
#      the independent receivers, the PTP tools, the browser and the npm test tools.
# Safe to run again: apt-get, the font copy and the runtime check are idempotent. Needs root (or
# sudo).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
scope="${1:-all}"
case "$scope" in
  run|all) ;;
  *) echo "usage: scripts/install-deps.sh [run|all]" >&2; exit 2 ;;
esac

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi

PACKAGES=(
  # build
  g++ cmake ninja-build pkg-config
  # libraries
  qt6-base-dev qt6-base-dev-tools libgl-dev
  # the control server's HTTP and WebSocket layer (Boost.Beast, header-only); the analyser's
  # loudness and true peak (EBU R128), and FFmpeg's libraries for the recordings it reads
  libboost-dev libebur128-dev libavformat-dev libavcodec-dev libswscale-dev libavutil-dev
  # the vendor's NDI runtime links the avahi client; avahi-daemon announces and finds sources
  libavahi-client-dev libavahi-client3 avahi-daemon
  # fonts: fontconfig's serif substitute for the caption when no Franklin face is present
  fontconfig fonts-dejavu-core fonts-liberation2
  ca-certificates
)
TEST_PACKAGES=(
  clang-format libgtest-dev libgmock-dev libbenchmark-dev
  # the sanitizer builds' compiler: half GCC's compile time on this code base
  clang
  # a compiler cache: a second test run recompiles only what changed
  ccache
  # Qt's WebSocket client, for the control server's tests
  qt6-websockets-dev
  # independent receivers and tools for the end-to-end tests and benchmarks
  ffmpeg gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  # PTP: ptp4l and pmc, network namespaces for the PTP test, GStreamer's PTP clock from Python
  linuxptp iproute2 python3-gi gir1.2-gstreamer-1.0 gir1.2-gst-plugins-base-1.0 gstreamer1.0-plugins-bad
  # screenshots of the window; the web panel's browser test (Chromium driven by playwright-core)
  xvfb xauth chromium
  # the Debian package (dpkg-shlibdeps) and the install test's desktop-entry check
  dpkg-dev desktop-file-utils
  # the real NDI runtime's test: two "computers" in namespaces, each with its own system bus and
  # avahi-daemon (never started in this computer's own namespace), and avahi's browser
  dbus avahi-utils util-linux
  # the probe's metrics scraped by a real Prometheus server (on loopback, in the test)
  prometheus
)
if [ "$scope" = all ]; then
  PACKAGES+=("${TEST_PACKAGES[@]}")
fi
# The font and the NDI runtime are fetched from the npm registry. A machine may carry its own
# Node.js with npm bundled (which conflicts with Debian's npm package): use that when present.
if ! command -v npm >/dev/null 2>&1; then
  PACKAGES+=(nodejs npm)
fi

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
# Debian's prometheus package starts its own server (all interfaces, port 9090) where systemd
# runs; the tests start their own on loopback, so that one is stopped and left disabled.
if [ "$scope" = all ] && command -v systemctl >/dev/null 2>&1 && [ -d /run/systemd/system ]; then
  $SUDO systemctl disable --now prometheus >/dev/null 2>&1 || true
fi

"$here/install-font.sh"
"$here/install-ndi-runtime.sh"

if [ "$scope" = run ]; then
  exit 0
fi
# The browser test's driver, at the version the lock file names; it downloads no browser.
(cd "$here/../tests/browser" && npm ci --no-audit --no-fund --loglevel=error)
# The ST 2110 SDP checker, at the version the lock file names.
(cd "$here/../tests/rtp" && npm ci --no-audit --no-fund --loglevel=error)
