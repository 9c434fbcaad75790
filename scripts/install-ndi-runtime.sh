#!/usr/bin/env bash
# Makes sure the vendor's NDI runtime is on this computer, so the program publishes a real NDI
# source. A runtime already there is used as it is: libndi.so.6 in $NDI_RUNTIME_DIR_V6, on
# LD_LIBRARY_PATH, in the loader's cache or in the usual system folders. Otherwise the runtime is
# taken from the npm registry package @grandi/linux-x64 at the version and integrity hash that
# packaging/ndi-runtime/package-lock.json pins (only libndi.so.6 and its licence notice; the Node
# binding beside them is never used) and installed for every program of the computer:
#   /usr/local/lib/libndi.so.6                                   registered with ldconfig
#   /usr/local/share/doc/ndi-runtime/libndi_licenses.txt         the vendor's licence notice
# Prints one line naming the runtime's version and where its licence notice is. The runtime is
# never committed nor packaged with the program. Needs root (or sudo) only to install.
# A failure here is not fatal: the program then publishes through its built-in runtime.
set -uo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"

LIB_DIR="${LIRAFON_NDI_LIB_DIR:-/usr/local/lib}"
DOC_DIR="${LIRAFON_NDI_DOC_DIR:-/usr/local/share/doc/ndi-runtime}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"

say() { echo "install-ndi-runtime: $*"; }

# The version the runtime reports of itself ("NDI SDK LINUX ... 6.3.2.0": its last word).
runtime_version() {
  local text=""
  if command -v python3 >/dev/null 2>&1; then
    text=$(python3 - "$1" 2>/dev/null <<'EOF'
import ctypes, sys
lib = ctypes.CDLL(sys.argv[1])
lib.NDIlib_version.restype = ctypes.c_char_p
print(lib.NDIlib_version().decode())
EOF
)
  fi
  if [ -z "$text" ]; then
    text=$(grep -aoE 'NDI SDK LINUX[^"]*[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+' "$1" 2>/dev/null | head -1)
  fi
  echo "${text##* }"
}

# The licence notice that came with a runtime found on the computer: beside it, or where this
# script installs it.
licence_for() {
  local dir
  dir=$(dirname "$(readlink -f "$1")")
  for candidate in "$dir/libndi_licenses.txt" "$DOC_DIR/libndi_licenses.txt" \
                   /usr/share/doc/ndi-sdk/libndi_licenses.txt; do
    if [ -f "$candidate" ]; then
      echo "$candidate"
      return
    fi
  done
  echo "not found beside it"
}

find_runtime() {
  local dirs=()
  [ -n "${NDI_RUNTIME_DIR_V6:-}" ] && dirs+=("$NDI_RUNTIME_DIR_V6")
  if [ -n "${LD_LIBRARY_PATH:-}" ]; then
    IFS=: read -r -a ld_dirs <<<"$LD_LIBRARY_PATH"
    dirs+=("${ld_dirs[@]}")
  fi
  local cached
  cached=$(/sbin/ldconfig -p 2>/dev/null | awk '/libndi\.so\.6 .*x86-64/ {print $NF; exit}')
  if [ -n "$cached" ]; then
    dirs+=("$(dirname "$cached")")
  fi
  dirs+=("$LIB_DIR" /usr/local/lib /usr/lib/x86_64-linux-gnu /usr/lib)
  for dir in "${dirs[@]}"; do
    if [ -n "$dir" ] && [ -f "$dir/libndi.so.6" ]; then
      echo "$dir/libndi.so.6"
      return 0
    fi
  done
  return 1
}

if existing=$(find_runtime); then
  say "NDI runtime $(runtime_version "$existing") found at $existing; licence notice: $(licence_for "$existing")"
  exit 0
fi

if [ "$(uname -m)" != x86_64 ]; then
  say "no NDI runtime for $(uname -m) is fetched here; the program uses its built-in runtime" >&2
  exit 0
fi
if ! command -v npm >/dev/null 2>&1; then
  say "npm not found; the program uses its built-in runtime" >&2
  exit 0
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$here/packaging/ndi-runtime/package.json" "$here/packaging/ndi-runtime/package-lock.json" "$work/"
# npm ci checks the tarball against the lock file's integrity hash; the package runs no scripts.
if ! (cd "$work" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error >/dev/null); then
  say "could not fetch @grandi/linux-x64; the program uses its built-in runtime" >&2
  exit 0
fi
package="$work/node_modules/@grandi/linux-x64"
$SUDO install -d -m 0755 "$LIB_DIR" "$DOC_DIR"
$SUDO install -m 0644 "$package/libndi.so.6" "$LIB_DIR/libndi.so.6"
$SUDO install -m 0644 "$package/libndi_licenses.txt" "$DOC_DIR/libndi_licenses.txt"
$SUDO /sbin/ldconfig
say "NDI runtime $(runtime_version "$LIB_DIR/libndi.so.6") installed at $LIB_DIR/libndi.so.6; licence notice: $DOC_DIR/libndi_licenses.txt"
