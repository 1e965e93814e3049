#!/usr/bin/env bash
# Kills one snapshot of the history at each of its system calls that can change the disk, one
# kill per run, and checks after every kill that the history still works: a fresh snapshot, a
# change and a Restore succeed and no lock file or half-written object is left.
#
#   scripts/history-kill-loop.sh build/tests/history/history_driver
#
# Each run is started under strace with "-e inject=<call>:signal=KILL:when=N", for every call
# of the set below and N = 1, 2, ... until the run completes. strace counts each call on its
# own, so together the runs stop the snapshot before every one of those calls: every call that
# changes what is on disk. A kill at any other call (opening, reading, closing, memory) leaves
# the disk as a kill at the next call of the set does, so the set reaches every state a crash
# can leave; a file created by open() is met by the kill before its first write or rename.
# VARIMOND_KILL_CALLS replaces the set ("all" kills at every call, which takes several minutes).
set -euo pipefail

driver=${1:?usage: $0 path/to/history_driver}
calls=${VARIMOND_KILL_CALLS:-write,pwrite64,rename,renameat,renameat2,link,linkat,unlink,unlinkat,mkdir,mkdirat,rmdir,symlink,symlinkat,fchmod,fchmodat,chmod,ftruncate,fsync,fdatasync,flock}
command -v strace >/dev/null || { echo "strace is not installed" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
repo=$work/.varimond-history
ui=$work/ui

# An interface folder with small files, an executable, a link, and one file large enough to be
# streamed into the store.
mkdir -p "$ui/sub"
printf 'one\n' >"$ui/a.txt"
printf '#!/bin/sh\n' >"$ui/run.sh"
chmod +x "$ui/run.sh"
ln -s a.txt "$ui/link"
head -c 9437184 /dev/zero >"$ui/sub/big.bin"
"$driver" snapshot "$repo" "$ui" >/dev/null

round=0
change() {
  # Every run snapshots something new: a changed file, an added one, a changed large one.
  round=$((round + 1))
  printf 'round %s\n' "$round" >"$ui/a.txt"
  printf '%s' "$round" >"$ui/sub/n$round.txt"
  printf '%s' "$round" | dd of="$ui/sub/big.bin" bs=1 seek=4096 conv=notrunc status=none
}

kills=0
IFS=, read -ra set <<<"$calls"
for call in "${set[@]}"; do
  n=1
  while :; do
    change
    status=0
    # Under a shell of its own, whose report of the kill goes nowhere.
    bash -c '"$@" 2>"$0"; exit $?' "$work/err" \
      strace -f -o /dev/null -e "inject=$call:signal=KILL:when=$n" \
      "$driver" snapshot "$repo" "$ui" >/dev/null 2>/dev/null || status=$?
    if [ "$status" -eq 0 ]; then
      break # the snapshot ran to its end: no more calls of this kind
    fi
    if [ "$status" -ne 137 ]; then
      echo "snapshot failed with status $status after $kills kills (at $call #$n):" >&2
      cat "$work/err" >&2
      exit 1
    fi
    kills=$((kills + 1))
    if ! out=$("$driver" check "$repo" "$ui" 2>&1) || [ "$out" != ok ]; then
      echo "history broken after a kill at $call #$n: $out" >&2
      exit 1
    fi
    n=$((n + 1))
  done
done
if [ "$kills" -eq 0 ]; then
  echo "no run was killed: strace cannot inject here" >&2
  exit 1
fi
echo "$kills kills, history still works after each"
