#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test and run, and the card's font.
# Safe to run again: apt-get and the font copy are idempotent. Needs root (or sudo).
set -euo pipefail

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi

PACKAGES=(
  # build
  g++ cmake ninja-build pkg-config clang-format
  # libraries
  qt6-base-dev qt6-base-dev-tools qt6-httpserver-dev qt6-websockets-dev libgl-dev libgtest-dev libgmock-dev libbenchmark-dev
  # fonts: fontconfig's serif substitute for the caption when no Franklin face is present
  fontconfig fonts-dejavu-core fonts-liberation2
  # independent receivers and tools for the end-to-end tests and benchmarks
  ffmpeg gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  # PTP: ptp4l and pmc, network namespaces for the PTP test, GStreamer's PTP clock from Python
  linuxptp iproute2 python3-gi gir1.2-gstreamer-1.0 gir1.2-gst-plugins-base-1.0 gstreamer1.0-plugins-bad
  # screenshots of the window; the web panel's browser test (Chromium driven by playwright-core)
  xvfb xauth chromium
  # the Debian package (dpkg-shlibdeps) and the install test's desktop-entry check
  dpkg-dev desktop-file-utils
  ca-certificates
)
# The font is fetched from the npm registry. A machine may carry its own Node.js with npm bundled
# (which conflicts with Debian's npm package): use that when present.
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

"$(dirname "$0")/install-font.sh"

# The browser test's driver, at the version the lock file names; it downloads no browser.
(cd "$(dirname "$0")/../tests/browser" && npm ci --no-audit --no-fund --loglevel=error)
# The ST 2110 SDP checker, at the version the lock file names.
(cd "$(dirname "$0")/../tests/rtp" && npm ci --no-audit --no-fund --loglevel=error)
