#!/usr/bin/env bash
# Installs what is needed, builds, and runs the program on its built-in defaults (the source is
# published on 127.0.0.1 only). Extra arguments go to the program.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh release
exec build/ui/ndi-lirafon "$@"
