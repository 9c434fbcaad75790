#!/usr/bin/env bash
# Installs Libre Franklin Medium (SIL Open Font License), the open Franklin Gothic revival the
# ident card's captions use when "Franklin Gothic Medium" itself is not installed. The font comes
# from the npm registry package @expo-google-fonts/libre-franklin and is never committed.
# A failure here is not fatal: the card then falls back to fontconfig's serif face.
set -uo pipefail

FONT_DIR="${LIRAFON_FONT_DIR:-/usr/local/share/qel-ndi-lirafon/fonts}"
FONT_FILE="LibreFranklin_500Medium.ttf"

if [ -f "$FONT_DIR/$FONT_FILE" ]; then
  exit 0
fi
if ! command -v npm >/dev/null 2>&1; then
  echo "install-font: npm not found; captions will use the serif substitute" >&2
  exit 0
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if ! (cd "$work" && npm pack --silent @expo-google-fonts/libre-franklin@0.4.2 >/dev/null 2>&1); then
  echo "install-font: could not fetch the font package; captions will use the serif substitute" >&2
  exit 0
fi
tar -xzf "$work"/*.tgz -C "$work" package/500Medium/$FONT_FILE package/LICENSE_FONT
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
$SUDO mkdir -p "$FONT_DIR"
$SUDO install -m 0644 "$work/package/500Medium/$FONT_FILE" "$FONT_DIR/$FONT_FILE"
$SUDO install -m 0644 "$work/package/LICENSE_FONT" "$FONT_DIR/OFL.txt"
echo "install-font: installed $FONT_DIR/$FONT_FILE"
