#!/usr/bin/env bash
# Fails if romseed.exe imports a function that is not in windows_imports.txt,
# the functions of Windows XP that the tool may use: Windows refuses to start
# a program that imports one it lacks.
# Usage: imports_test.sh OBJDUMP romseed.exe
set -euo pipefail
export LC_ALL=C
objdump=$1 exe=$2
list="$(dirname "$0")/windows_imports.txt"

imports=$("$objdump" -p "$exe" | awk '
  /^\tDLL Name: / { dll = toupper($3); next }
  dll != "" && /^$/ { dll = ""; next }
  dll != "" && $1 ~ /^[0-9a-f]+$/ && $2 ~ /^[0-9]+$/ && NF == 3 { print dll, $3 }' | sort -u)
[[ -n $imports ]] || { echo "FAIL: no imports read from $exe"; exit 1; }

bad=$(grep -vE '^[A-Z0-9]+\.DLL +[^ ]+ +XP(-x64)?$' <(grep -v '^#' "$list" | grep .) || true)
[[ -z $bad ]] || { echo "FAIL: listed newer than XP: $bad"; exit 1; }

missing=$(comm -23 <(echo "$imports") <(grep -v '^#' "$list" | awk 'NF { print $1, $2 }' | sort -u))
if [[ -n $missing ]]; then
  echo "FAIL: $exe imports what windows_imports.txt does not list:"
  echo "$missing"
  exit 1
fi
echo "ok: $(echo "$imports" | wc -l) imports, all of Windows XP"
