#!/bin/sh
# Runs romseed on a copy of the example, so that the tracked files never
# change, and shows what it did to the UCF; then a run that fails, and what
# it says. From any folder:
#   examples/demo.sh [romseed]   (default: the repository's build/romseed;
#                                 a bare name is looked up in PATH)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
tool=${1:-$here/../build/romseed}
case $tool in
  */*) tool=$(cd "$(dirname "$tool")" && pwd)/$(basename "$tool") ;;
  *) tool=$(command -v "$tool") || { echo "demo.sh: $1 is not in PATH" >&2; exit 1; } ;;
esac
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$here/top.ucf" "$here/firmware.bin" "$work/"
cd "$work"
"$tool" firmware.bin top.ucf rom
echo
echo "--- changes to top.ucf:"
diff -u "$here/top.ucf" top.ucf || true
echo
echo "--- a run on a read-only UCF fails, and says so on both outputs:"
chmod a-w top.ucf
status=0
"$tool" firmware.bin top.ucf rom || status=$?
echo
echo "(exit status $status)"
