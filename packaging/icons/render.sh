#!/usr/bin/env bash
# Renders the PNG sizes of the icon from brenvale.svg; run after changing the drawing and commit
# the results. Needs rsvg-convert (Debian package librsvg2-bin).
set -euo pipefail
cd "$(dirname "$0")"
for size in 16 24 32 48 64 128 256; do
    rsvg-convert --width "$size" --height "$size" brenvale.svg --output "brenvale-$size.png"
done
