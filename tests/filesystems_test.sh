#!/usr/bin/env bash
# The core cases of a run on each file system that users keep designs on,
# and with each optional call of the system missing: an update from the
# UCF's own folder and from another, a run that changes nothing, a check,
# the UCF's mode kept where the file system has modes, and nothing left
# behind. Needs root for loop devices and mounts; skips (77), saying why,
# where they or a tool are missing. Usage: filesystems_test.sh ROMSEED
set -u
tool=$(realpath "$1")
[ "$(id -u)" = 0 ] || { echo "not root: no loop devices or mounts to test on: skipped"; exit 77; }
for need in losetup mkfs.ext2 mkfs.exfat mount.exfat-fuse strace; do
  command -v "$need" >/dev/null || { echo "$need is not installed: skipped"; exit 77; }
done
source "$(dirname "$0")/check.sh"
export ASAN_OPTIONS=detect_leaks=0  # a sanitizer build's leak check cannot work under strace
mounts=() loops=()
cleanup() {
  for m in "${mounts[@]}"; do umount "$m" 2>/dev/null; done
  for l in "${loops[@]}"; do losetup -d "$l" 2>/dev/null; done
  rm -rf "$scratch"
}
trap cleanup EXIT
head -c 3000 /dev/urandom >"$scratch/fw.bin"
head -c 3000 /dev/urandom >"$scratch/fw2.bin"

# mount_image NAME MKFS... : a file system of its own, made with MKFS on an
# image, mounted at $scratch/NAME; its mount command is the last word.
mount_image() {
  local name=$1 image=$scratch/$1.img loop
  shift
  truncate -s 64M "$image"
  "${@:1:$#-1}" "$image" >/dev/null 2>&1 || return 1
  loop=$(losetup -f --show "$image") || return 1
  loops+=("$loop")
  mkdir -p "$scratch/$name"
  ${!#} "$loop" "$scratch/$name" >/dev/null 2>&1 || return 1
  mounts+=("$scratch/$name")
}

quiet() { "$@" >/dev/null; }

# cases WHERE [WRAPPER...]: the core cases on a UCF in folder WHERE.
cases() {
  local where=$1 what ucf=$1/top.ucf
  shift
  what="${where##*/}${*:+ with $*}"
  printf 'NET a;\n' >"$ucf"
  chmod 640 "$ucf" 2>/dev/null
  # Where the file system has them: an access ACL and an extended attribute.
  local acl=""
  if setfacl -m u:nobody:rw- "$ucf" 2>/dev/null && setfattr -n user.mark -v kept "$ucf" 2>/dev/null; then
    acl=$(getfacl -cp "$ucf")
  fi
  local mode=$(stat -c %a "$ucf")  # the ACL's mask is its group bits
  (cd "$where" && "$@" "$tool" "$scratch/fw.bin" top.ucf rom >/dev/null 2>"$scratch/err")
  check "$what: from the ucf's folder ($(tail -n 1 "$scratch/err"))" \
    quiet "$tool" -c "$scratch/fw.bin" "$ucf" rom
  (cd "$scratch" && "$@" "$tool" fw2.bin "$ucf" rom >/dev/null 2>"$scratch/err")
  check "$what: from another folder ($(tail -n 1 "$scratch/err"))" \
    quiet "$tool" -c "$scratch/fw2.bin" "$ucf" rom
  (cd "$where" && "$@" "$tool" "$scratch/fw2.bin" top.ucf rom 2>&1 >/dev/null | grep -q 'already holds')
  check "$what: a run that changes nothing says so" test $? = 0
  if [ "$(stat -c %a "$where")" != 777 ]; then  # FAT and exFAT have no modes
    check "$what: mode kept" test "$(stat -c %a "$ucf")" = "$mode"
  fi
  if [ -n "$acl" ]; then
    check "$what: ACL kept" test "$(getfacl -cp "$ucf")" = "$acl"
    check "$what: extended attribute kept" test "$(getfattr --only-values -n user.mark "$ucf" 2>/dev/null)" = kept
    # A run from a folder whose default ACL would give the file to another.
    mkdir -p "$where/build" && setfacl -d -m u:daemon:rwx "$where/build"
    (cd "$where/build" && "$@" "$tool" "$scratch/fw.bin" ../top.ucf rom >/dev/null 2>&1)
    check "$what: the folder's default ACL kept out" test "$(getfacl -cp "$ucf")" = "$acl"
    rm -rf "$where/build"
  fi
  # Killed right before the replace, and run again; then an in-place save
  # while the run flushes, which it keeps. (Under strace, with the
  # wrapper's own faults where it is strace.)
  local tracer=("$@") st before
  [ $# = 0 ] && tracer=(strace -f -o /dev/null)
  "$tool" "$scratch/fw.bin" "$ucf" rom >/dev/null 2>&1 && before=$(cat "$ucf")
  (cd "$where" && "${tracer[@]}" -e inject=rename,renameat2:signal=SIGKILL \
    "$tool" "$scratch/fw2.bin" top.ucf rom >/dev/null) 2>/dev/null
  check "$what: killed before the replace, the ucf as it was" test "$(cat "$ucf")" = "$before"
  (cd "$where" && "$@" "$tool" "$scratch/fw2.bin" top.ucf rom >/dev/null 2>"$scratch/err")
  check "$what: run again after the kill ($(tail -n 1 "$scratch/err"))" \
    quiet "$tool" -c "$scratch/fw2.bin" "$ucf" rom
  (sleep 0.5; printf 'NET saved;\n' >"$ucf") &
  (cd "$where" && "${tracer[@]}" -e inject=fsync:delay_enter=1500000:when=1 \
    "$tool" "$scratch/fw.bin" top.ucf rom >/dev/null 2>&1)
  st=$?
  wait
  check "$what: a save during the run kept (status $st)" test "$st" = 1 -a "$(cat "$ucf")" = 'NET saved;'
  check "$what: nothing left" test -z "$(ls -A "$where" "$scratch" | grep -E 'tempucf|romseed[-=]')"
}

mkdir "$scratch/tmpfs" && mount -t tmpfs tmpfs "$scratch/tmpfs" && mounts+=("$scratch/tmpfs") &&
  cases "$scratch/tmpfs"
# 128-byte inodes keep times in whole seconds.
mount_image ext2 mkfs.ext2 -q -I 128 mount && cases "$scratch/ext2"
if mount_image exfat mkfs.exfat mount.exfat-fuse; then
  cases "$scratch/exfat"
else
  echo "note: no FUSE here: exFAT not tested"
fi
# Each optional call missing, on tmpfs: hard links, the swap of two names,
# and files without a name. (Runs from $scratch reach tmpfs across file
# systems, by a copy.)
cases "$scratch/tmpfs" strace -f -o /dev/null -e inject=link,linkat:error=EPERM
# No swap, nor getrandom (kernels before 3.15 and 3.17).
cases "$scratch/tmpfs" strace -f -o /dev/null -e inject=renameat2:error=EINVAL -e inject=getrandom:error=ENOSYS
cases "$scratch/tmpfs" strace -f -o /dev/null -e inject=link,linkat:error=EPERM -e inject=renameat2:error=ENOSYS
# No files without a name (here: no /proc to name them by), so the copy to
# another file system is named from the start.
cases "$scratch/tmpfs" strace -f -o /dev/null -e inject=access:error=ENOENT
# No open-file-description locks (kernels before 3.15), under a caller's
# flock(1) on the UCF: no turns, and no wait for the caller either.
cases "$scratch/tmpfs" timeout 20 flock "$scratch/tmpfs/top.ucf" strace -f -o /dev/null -e inject=fcntl:error=EINVAL
# No lock service (NFS mounted without it).
cases "$scratch/tmpfs" strace -f -o /dev/null -e inject=fcntl:error=ENOLCK
# An XDC is a constraints file like the other: the same cases, through --xdc.
printf '#!/bin/sh\nexec "%s" --xdc "$@"\n' "$tool" >"$scratch/xdc" && chmod +x "$scratch/xdc" && tool=$scratch/xdc
cases "$scratch/tmpfs" && cases "$scratch/ext2"
if mountpoint -q "$scratch/exfat"; then cases "$scratch/exfat"; fi
finish
