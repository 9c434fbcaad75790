#!/usr/bin/env bash
# Runs the web panel's browser tests, or skips them (status 77, saying why) where the browser or
# its driver is not installed: a plain build without the npm test tools.
#   run.sh PROGRAM LIRAFON_CHECK
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
if [ ! -d "$here/node_modules/playwright-core" ]; then
  echo "skipped: playwright-core is not installed: run scripts/install-deps.sh (npm ci in tests/browser)"
  exit 77
fi
if [ ! -x /usr/bin/chromium ]; then
  echo "skipped: Debian's chromium is not installed: run scripts/install-deps.sh"
  exit 77
fi
cd "$here"
LIRAFON_PROGRAM="$1" LIRAFON_CHECK="$2" exec node --test "$here/panel.test.mjs" "$here/operators.test.mjs" \
  "$here/nmos_origins.test.mjs" "$here/probe_page.test.mjs"
