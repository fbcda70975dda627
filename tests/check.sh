# Sourced by the shell tests: a scratch folder, removed at exit, and checks
# that are counted and reported; `finish` ends the test with their verdict.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
pass=0 fail=0

check() {  # check WHAT COMMAND...
  local what=$1
  shift
  if "$@"; then pass=$((pass + 1)); else fail=$((fail + 1)); echo "FAIL: $what"; fi
}

finish() {
  echo "$pass passed, $fail failed"
  test "$fail" = 0
  exit
}
