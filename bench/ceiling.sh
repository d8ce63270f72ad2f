#!/usr/bin/env bash
# The utility's own ceiling: vlmperfutil against fio on a loop device over a
# file in /dev/shm, whose reads are served from memory, so the programs and
# not a disk set the figures. Runs the comparison twice: on the machine as it
# is, then with one core held by a competing busy loop.
#
#   bench/ceiling.sh
#
# Makes the file and the loop device itself and removes them (and the busy
# loop) afterwards. Environment: ROUNDS (5), SECS (3), SIZE_MIB (1024),
# BUSY_CPU (1, the core the busy loop is pinned to), BUILD, UTIL.
source "$(dirname "$0")/fio-compare.sh"
SIZE_MIB=${SIZE_MIB:-1024}
BUSY_CPU=${BUSY_CPU:-1}
command -v taskset >/dev/null || die "taskset is missing"
[ -d /dev/shm ] || die "no /dev/shm"

IMG=$(mktemp /dev/shm/ceiling.XXXXXX.img)
CLEANUPS+=("rm -f '$IMG'")
echo "making a ${SIZE_MIB} MiB loop device of random data in $IMG..."
head -c "$((SIZE_MIB * 1024 * 1024))" /dev/urandom >"$IMG"
LOOP=$(losetup -f --show "$IMG")
use_device "$LOOP"

echo "== the machine as it is"
compare "$WORK/free"
echo "== one core (CPU $BUSY_CPU) held by a busy loop"
taskset -c "$BUSY_CPU" sh -c 'while :; do :; done' &
BUSY=$!
CLEANUPS+=("kill $BUSY 2>/dev/null")
compare "$WORK/busy"
kill "$BUSY" 2>/dev/null || true

echo
echo "$(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, $(uname -r), load average $(cut -d' ' -f1-3 /proc/loadavg)"
report "$WORK/free" "memory-backed loop device, the machine as it is"
report "$WORK/busy" "memory-backed loop device, one core held by a busy loop"
