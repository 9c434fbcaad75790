#!/usr/bin/env bash
# Runs a test program inside a network namespace of its own with only loopback up, for tests that
# start the vendor's NDI runtime (it listens on every interface it has). Status 77 (skipped),
# saying why, where no namespace can be made.
#   isolated.sh PROGRAM [ARG]...
if ! unshare -n true 2>/dev/null; then
  echo "skipped: cannot make a network namespace here (needs root and unshare)"
  exit 77
fi
exec unshare -n sh -c 'ip link set lo up 2>/dev/null; exec "$@"' isolated "$@"
