#!/usr/bin/env bash
# End-to-end tests of romseed.exe (64- or 32-bit) under Wine, against a Linux
# build of the same source. Usage: wine_test.sh romseed.exe linux-romseed
set -u
command -v wine >/dev/null || { echo "Wine is not installed: skipped"; exit 77; }
exe=$(realpath "$1")
native=$(realpath "$2")
export WINEDEBUG=-all
# 64-bit programs go straight to the 64-bit loader, so that they do not need
# the kernel to run 32-bit ones; Debian keeps it out of PATH, in its lib folder.
if x86_64-w64-mingw32-objdump -f "$exe" | grep -q 'pei-x86-64'; then
  wine=$(PATH=$PATH:/usr/lib/wine:/usr/lib64/wine command -v wine64) ||
    { echo "64-bit Wine is not installed: skipped"; exit 77; }
else
  wine=wine
fi
# A prefix of its own, beside the .exe: one made before 32-bit Wine was
# installed cannot load kernel32 afterwards, for 64-bit programs too.
export WINEPREFIX=${WINEPREFIX:-$(dirname "$exe")/wineprefix}
source "$(dirname "$0")/check.sh"
shm=$(mktemp -d /dev/shm/romseed-wine-XXXXXX)
busy=""  # the loops that keep the processors busy, while they do
trap 'kill $busy 2>/dev/null; wineserver -k 2>/dev/null; rm -rf "$scratch" "$shm"' EXIT

# Wine itself may fail to start a process when the machine is busy ("failed
# to map the shared user data"); the tool never ran then. Its banner, the
# first thing it prints, shows that it did: such a start is tried again, up
# to three times, and counted.
banner="romseed test vertsion"
started_ok() {  # started_ok OUTPUT
  [[ $1 == "$banner"* ]] || { echo x >>"$scratch/wine-retries"; false; }
}

# run DIR TOOL ARGS...: sets $out (without CRs, which a Windows console adds)
# and $st.
run() {
  local dir=$1 tool=$2 try
  shift 2
  if [[ $tool == *.exe ]]; then
    for try in 1 2 3; do
      out=$(cd "$dir" && "$wine" "$tool" "$@" 2>/dev/null | tr -d '\r'; exit "${PIPESTATUS[0]}")
      st=$?
      started_ok "$out" && break
    done
  else
    out=$(cd "$dir" && "$tool" "$@" 2>/dev/null)
    st=$?
  fi
}

# in_background DIR NAME ARGS...: runs the .exe in DIR in the background;
# `ended NAME` then tells its status and the last line of each output, and
# all_ended waits for every such run.
in_background() {
  local dir=$1 name=$2
  shift 2
  (cd "$dir" && for try in 1 2 3; do
     "$wine" "$exe" "$@" >"$scratch/$name.out" 2>"$scratch/$name.err"
     echo $? >"$scratch/$name.status"
     started_ok "$(head -c ${#banner} "$scratch/$name.out")" && break
   done) &
  started+=($!)
}
started=()
all_ended() {
  wait "${started[@]}"
  started=()
}
ended() {
  echo "status $(cat "$scratch/$1.status"): $(tr -d '\r' <"$scratch/$1.out" | tail -n 1)" \
    "/ $(tr -d '\r' <"$scratch/$1.err" | tail -n 1)"
}

fresh() {  # fresh NAME: an empty folder
  rm -rf "${scratch:?}/$1" && mkdir -p "$scratch/$1" && echo "$scratch/$1"
}

# same_as_linux WHAT SETUP ARGS...: SETUP fills a folder; both builds run
# in a copy of it and must print, return and leave the same.
same_as_linux() {
  local what=$1 setup=$2 a b out_a st_a
  shift 2
  echo "wine_test: $what" >&2  # progress, for a run that takes minutes
  a=$(fresh linux) b=$(fresh windows)
  (cd "$a" && $setup) && cp -a "$a/." "$b/"
  run "$a" "$native" "$@"; out_a=$out st_a=$st
  run "$b" "$exe" "$@"
  check "$what: output" test "$out" = "$out_a"
  check "$what: status $st_a" test "$st" = "$st_a"
  check "$what: files" diff -r "$a" "$b"
}

# Self-contained: no DLL but the system's.
dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/.*DLL Name: //p' | tr 'A-Z' 'a-z' | sort | tr '\n' ' ')
check "needs system DLLs only ($dlls)" test -z "$(echo "$dlls" | tr ' ' '\n' |
  grep -v -x -E '(advapi32|kernel32|msvcrt|shell32|user32)\.dll|')"

# The first run sets Wine up. For the 32-bit build it also shows whether this
# machine can run 32-bit programs at all (ROMSEED_WINE32=no says it cannot):
# only a loader that the kernel refuses or that is missing makes a skip; a
# start that fails otherwise fails the suite, as does any run after it.
for try in 1 2 3; do
  # Not -all here: Debian's launcher says so when the 32-bit loader is missing.
  probe=$(WINEDEBUG=fixme-all "$wine" "$exe" 2>"$scratch/probe.err" | tr -d '\r'; exit "${PIPESTATUS[0]}")
  st=$?
  started_ok "$probe" && break
done
why=$(cat "$scratch/probe.err")
if [ "$wine" = wine ] && { [ "${ROMSEED_WINE32:-}" = no ] || [ "$st" = 126 ] || [ "$st" = 127 ] ||
     [[ $why == *"Exec format error"* || $why == *"wine32 is missing"* ]]; }; then
  echo "this machine cannot run 32-bit programs: the 32-bit Windows build was not run under Wine"
  exit 77
fi
check "Wine starts the tool (status $st) ${why:0:300}" test "$st" = 1 -a "${probe:0:${#banner}}" = "$banner"
wineserver -p 60 </dev/null >/dev/null 2>&1  # one server for all the runs below

stale='INST "rom00" INIT_00 = 0000000000000000000000000000000000000000000000000000000000000011;'
for ucf in lf crlf open empty; do
  for size in 0 1 32 33 513; do
    setup() {
      case $ucf in
        lf) printf 'NET "clk" LOC = "P55";\n%s\n  INST "rom01" LOC = X;\n' "$stale" ;;
        crlf) printf 'NET "clk" LOC = "P55";\r\n%s\r\n\r\n' "$stale" ;;
        open) printf 'NET "clk" LOC = "P55";\nNET "led" LOC = "P12";' ;;
        empty) : ;;
      esac >top.ucf
      head -c "$size" <(while :; do printf '\x00\x80\xff\x5a\x01'; done) >fw.bin
    }
    same_as_linux "$ucf ucf, $size bytes" setup fw.bin top.ucf rom
  done
done

setup() { printf 'NET a;\n' >top.ucf && printf '\x01' >fw.bin && mkdir d; }
same_as_linux "no arguments" setup
same_as_linux "two arguments" setup fw.bin top.ucf
same_as_linux "four arguments" setup fw.bin top.ucf rom more
same_as_linux "missing binary" setup none.bin none.ucf rom
same_as_linux "missing ucf" setup fw.bin none.ucf rom
same_as_linux "directory as binary" setup d top.ucf rom
same_as_linux "directory as ucf" setup fw.bin d rom
same_as_linux "quote in the name" setup fw.bin top.ucf 'ro"m'
same_as_linux "long name" setup fw.bin top.ucf "$(printf 'r%.0s' {1..300})"
same_as_linux "empty name" setup fw.bin top.ucf ''
same_as_linux "binary is the ucf" setup top.ucf top.ucf rom
setup() { printf 'NET a;\n' >top.ucf && printf '\x01\x00' >fw.bin; }
same_as_linux "arguments swapped" setup top.ucf fw.bin rom
same_as_linux "help" setup --help
same_as_linux "unknown option" setup -x fw.bin top.ucf rom
setup() { printf 'NET a;\r\n' >top.ucf && printf '// p\r\n3ffff 2_0100\r\n@400 1\r\n' >fw.hex; }
same_as_linux "18-bit words in lanes" setup -p ramb16_s18 -w 18 --parity=lanes fw.hex top.ucf rom
same_as_linux "36-bit words" setup -p RAMB36E1 -w 36 fw.hex top.ucf rom
# Layouts: lanes by width and depth, each program format, the map, a check.
setup() {
  printf 'NET a;\r\nINST "cpu/r0" INIT_00 = 1;\r\nINST "cpu/r0" LOC = X0Y0;\r\n' >top.ucf
  printf 'ADDRESS_SPACE m RAMB16 [0x100:0x20FF]\r\n BUS_BLOCK cpu/r1 [15:8]; cpu/r0 [7:0]; END_BUS_BLOCK;\r\n' >m.bmm
  printf ' BUS_BLOCK cpu/r3 [15:8] [2048:4095]; cpu/r2 [7:0]; END_BUS_BLOCK;\r\nEND_ADDRESS_SPACE;\r\n' >>m.bmm
  printf ':020000040000FA\r\n:0401000001020304F1\r\n:00000001FF\r\n' >fw.hex
  printf 'S107010001020304ED\r\nS9030000FC\r\n' >fw.srec
  printf '@7ff 1234 5678\r\n' >fw.mem
}
same_as_linux "a layout from Intel HEX" setup -l m.bmm fw.hex top.ucf m
same_as_linux "a layout from S-records, big-endian" setup -l m.bmm --byte-order=big fw.srec top.ucf m
same_as_linux "a layout from words" setup -l m.bmm fw.mem top.ucf m
same_as_linux "a layout's map" setup -l m.bmm --map=0x101 fw.hex top.ucf m
same_as_linux "a layout's check" setup -c -l m.bmm fw.hex top.ucf m
same_as_linux "a space the layout lacks" setup -l m.bmm fw.hex top.ucf n
setup() {
  printf 'create_clock -period 10 [get_ports clk]\r\nset_property INIT_00 256'"'"'h1 [get_cells rom00]\r\n' >top.xdc
  printf 'set_property INIT_01 256'"'"'h1 [get_cells {rom00 rom01}]' >>top.xdc && printf '\x01\x80' >fw.bin
}
same_as_linux "an XDC" setup --xdc -p RAMB18E2 fw.bin top.xdc rom
same_as_linux "an XDC's check" setup --xdc -c fw.bin top.xdc rom
same_as_linux "an XDC without --xdc" setup fw.bin top.xdc rom
setup() { printf 'NET a;\r\nINST "rom00" INIT_00 = %064d;\r\n' 0 >top.ucf && printf '\x01' >fw.bin; }
same_as_linux "a check that differs" setup --check fw.bin top.ucf rom
same_as_linux "a check that cannot read" setup -c none.bin top.ucf rom
setup() { printf 'NET a;\r\nINST "rom00" INIT_00 = %064d;\r\n' 1 >top.ucf && printf '\x01' >fw.bin; }
same_as_linux "a check that matches" setup -c fw.bin top.ucf rom
setup() { printf 'NET a;\n' >top.ucf && printf '\x01' >fw.bin && chmod 444 top.ucf; }
same_as_linux "read-only ucf" setup fw.bin top.ucf rom
setup() { printf 'NET a;\n' >tempucf.ucf && printf '\x01' >fw.bin && ln tempucf.ucf hard.ucf; }
same_as_linux "working file as ucf" setup fw.bin tempucf.ucf rom
same_as_linux "working file as binary" setup tempucf.ucf fw.bin rom
same_as_linux "hard link to the working file" setup fw.bin hard.ucf rom
setup() { printf 'NET a;\n' >top.ucf && printf '\x01' >fw.bin && ln -s top.ucf link.ucf; }
same_as_linux "ucf through a link" setup fw.bin link.ucf rom
setup() { printf 'NET a;\n' >top.ucf && printf '\x01' >fw.bin && cp top.ucf 'désign.ucf'; }
same_as_linux "non-ASCII name" setup fw.bin 'désign.ucf' rom

# A linked working file: its target is neither written nor created.
dir=$(fresh links)
printf 'NET a;\n' >"$dir/top.ucf" && printf '\x01' >"$dir/fw.bin" && echo precious >"$scratch/victim"
ln -s "$scratch/victim" "$dir/tempucf.ucf"
run "$dir" "$exe" fw.bin top.ucf rom
check "linked working file refused" test "$st" = 1 -a "${out##*$'\n'}" = "can't open file tempucf.ucf"
check "link target untouched" test "$(cat "$scratch/victim")" = precious
rm "$dir/tempucf.ucf" && ln -s "$scratch/absent" "$dir/tempucf.ucf"
run "$dir" "$exe" fw.bin top.ucf rom
check "dangling working file refused" test "$st" = 1 -a ! -e "$scratch/absent"
check "ucf untouched after refusals" test "$(cat "$dir/top.ucf")" = "NET a;"

# A UCF on another file system than the working folder.
dir=$(fresh cross)
printf 'NET a;\n' >"$shm/top.ucf" && printf '\x01' >"$dir/fw.bin"
run "$dir" "$exe" fw.bin "$shm/top.ucf" rom
check "ucf on another file system" test "$st" = 0 -a "$(wc -l <"$shm/top.ucf")" = 2
check "nothing left behind" test "$(ls -A "$shm")" = top.ucf -a "$(ls -A "$dir")" = fw.bin
# What a killed run left beside the UCF goes, a name of another form stays;
# a UCF name too long to leave room for the run's own is no obstacle.
: >"$shm/.romseed-top.ucf.0123456789abcdef" && : >"$shm/.romseed-top.ucf.keep"
long=$(printf 'u%.0s' {1..236}).ucf && printf 'NET a;\n' >"$shm/$long"
run "$dir" "$exe" fw.bin "$shm/top.ucf" rom
check "leftover beside removed" test "$st" = 0 -a "$(LC_ALL=C ls -A "$shm" | grep -c romseed)" = 1
run "$dir" "$exe" fw.bin "$shm/$long" rom
check "ucf of a 240-byte name" test "$st" = 0 -a "$(wc -l <"$shm/$long")" = 2
rm "$shm/.romseed-top.ucf.keep" "$shm/$long"

# A failed write leaves the UCF as it was.
dir=$(fresh full)
printf 'NET a;\n' >"$dir/top.ucf" && head -c 200000 /dev/zero >"$dir/fw.bin"
run "$dir" bash -c "ulimit -f 8; trap '' XFSZ; '$wine' '$exe' fw.bin top.ucf rom 2>/dev/null | tr -d '\r'"
check "failed write reported" test "${out##*$'\n'}" = "can't write file tempucf.ucf"
check "failed write keeps the ucf" test "$(cat "$dir/top.ucf")" = "NET a;" -a ! -e "$dir/tempucf.ucf"

# Runs started together from one folder each get their own result.
a=$(fresh parallel-linux) b=$(fresh parallel)
for i in 1 2 3 4; do
  printf 'NET a;\n%s\n' "$stale" >"$a/$i.ucf"
  head -c $((1000 * i)) /dev/urandom >"$a/$i.bin"
done
cp "$a/1.ucf" "$a/shared.ucf" && cp -a "$a/." "$b/"
for i in 1 2 3 4; do run "$a" "$native" "$i.bin" "$i.ucf" rom; done
run "$a" "$native" 1.bin shared.ucf ram && run "$a" "$native" 2.bin shared.ucf rim
for i in 1 2 3 4; do in_background "$b" p$i "$i.bin" "$i.ucf" rom; done
in_background "$b" ram 1.bin shared.ucf ram
in_background "$b" rim 2.bin shared.ucf rim
all_ended
for i in 1 2 3 4; do check "parallel run $i ($(ended p$i))" cmp -s "$a/$i.ucf" "$b/$i.ucf"; done
check "parallel runs on one ucf ($(ended ram); $(ended rim))" \
  test "$(sort "$b/shared.ucf")" = "$(sort "$a/shared.ucf")"
check "no working file left" test ! -e "$b/tempucf.ucf"

# Messages into the working file are refused, the UCF untouched.
dir=$(fresh into)
printf 'NET a;\n' >"$dir/top.ucf" && printf '\x01' >"$dir/fw.bin"
(cd "$dir" && "$wine" "$exe" fw.bin top.ucf rom >tempucf.ucf 2>/dev/null)
st=$?
# Wine gives a redirected handle no identity, so there the run may not see
# it; then it must still complete, its messages into the file it replaced.
check "output into the working file refused" test $st = 1 -a "$(cat "$dir/top.ucf")" = "NET a;" -o \
  $st = 0 -a "$(wc -l <"$dir/top.ucf")" = 2 -a ! -e "$dir/tempucf.ucf"

# Under load, with every processor kept busy: runs on one UCF from many
# folders take turns, and so do pairs started together, on one UCF or on
# two, from one folder: every run succeeds and every update is kept.
for _ in $(seq "$(nproc)"); do
  (while :; do :; done) &
  busy+=" $!"
done
ucf=$(fresh shared)/top.ucf
printf 'NET a;\n' >"$ucf"
for i in 1 2 3 4 5 6; do
  dir=$(fresh from$i) && head -c 4000000 /dev/urandom >"$dir/fw.bin"  # long enough to overlap
  in_background "$dir" from$i fw.bin "$ucf" "c${i}_"
done
all_ended
for i in 1 2 3 4 5 6; do
  check "run from folder $i kept ($(ended from$i))" grep -q "INST \"c${i}_00\"" "$ucf"
done
dir=$(fresh pairs)
printf 'NET a;\n' >"$dir/one.ucf" && printf 'NET b;\n' >"$dir/x.ucf" && cp "$dir/x.ucf" "$dir/y.ucf"
head -c 2000 /dev/urandom >"$dir/fw.bin"
failed=""
for r in $(seq "${ROMSEED_STRESS_PAIRS:-50}"); do
  in_background "$dir" a fw.bin one.ucf "a${r}_" && in_background "$dir" b fw.bin one.ucf "b${r}_"
  in_background "$dir" x fw.bin x.ucf "x${r}_" && in_background "$dir" y fw.bin y.ucf "y${r}_"
  all_ended
  for run in a b x y; do
    [ "$(cat "$scratch/$run.status")" = 0 ] || failed+=" pair $r run $run ($(ended $run));"
  done
  for c in a b; do grep -q "INST \"${c}${r}_00\"" "$dir/one.ucf" || failed+=" pair $r lost ${c};"; done
  grep -q "INST \"x${r}_00\"" "$dir/x.ucf" || failed+=" pair $r lost x;"
  grep -q "INST \"y${r}_00\"" "$dir/y.ucf" || failed+=" pair $r lost y;"
done
kill $busy 2>/dev/null
busy=""
check "pairs under load:${failed:- all kept}" test -z "$failed"
check "pairs left no working file" test ! -e "$dir/tempucf.ucf"

# Ctrl-C (SIGINT, which Wine hands on as one) removes what the run made. The
# FIFO's name is this test's own, so that only its run is interrupted.
dir=$(fresh interrupted)
printf 'NET a;\n' >"$dir/top.ucf" && mkfifo "$dir/fw-$$.fifo"
exec 7<>"$dir/fw-$$.fifo"  # a producer that never closes: the run waits for more
(cd "$dir" && exec setsid "$wine" "$exe" fw-$$.fifo top.ucf rom >/dev/null 2>&1) &
for _ in $(seq 100); do [ -e "$dir/tempucf.ucf" ] && break; sleep 0.1; done
sleep 0.5
pkill -INT -f "romseed.exe fw-$$.fifo"
for _ in $(seq 50); do pgrep -f "romseed.exe fw-$$.fifo" >/dev/null || break; sleep 0.1; done
pkill -KILL -f "romseed.exe fw-$$.fifo"  # one that ignored it
wait $!
check "interrupted run failed" test $? != 0
check "interrupted run left nothing" test "$(ls -A "$dir")" = "$(printf 'fw-%s.fifo\ntop.ucf' $$)"
check "interrupted run kept the ucf" test "$(cat "$dir/top.ucf")" = "NET a;"
exec 7>&-

# The UCF keeps its attributes.
dir=$(fresh attributes)
printf 'NET a;\n' >"$dir/top.ucf" && printf '\x01' >"$dir/fw.bin"
(cd "$dir" && "$wine" attrib +s top.ucf && "$wine" "$exe" fw.bin top.ucf rom) >/dev/null 2>&1
check "attributes kept" bash -c "cd '$dir' && '$wine' attrib top.ucf 2>/dev/null | grep -q '^A *S '"
[ -e "$scratch/wine-retries" ] &&
  echo "note: Wine could not start $(wc -l <"$scratch/wine-retries") runs at once; each was started again"
finish
