#!/bin/sh
# Runs romseed on a copy of the example, so that the tracked files never
# change, and shows what it did to the UCF. From any folder:
#   examples/demo.sh [path/to/romseed]   (default: the repository's build/romseed)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
tool=${1:-$here/../build/romseed}
tool=$(cd "$(dirname "$tool")" && pwd)/$(basename "$tool")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$here/top.ucf" "$here/firmware.bin" "$work/"
cd "$work"
"$tool" firmware.bin top.ucf rom
echo
echo "--- changes to top.ucf:"
diff -u "$here/top.ucf" top.ucf || true
