#!/usr/bin/env bash
# Installs what building and running need (with the vendor's NDI runtime and avahi-daemon, so the
# source is a real NDI source found by mDNS), builds the programs, and runs the program on its
# defaults. Extra arguments go to the program.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh run
scripts/build.sh programs
exec build/ui/ndi-lirafon "$@"
