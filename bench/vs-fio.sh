#!/usr/bin/env bash
# Compares vlmperfutil with fio on one block device: the same four read
# patterns, alternating rounds, medians with their spread, the latency of the
# random phase and the CPU time (user + system) each program took.
#
#   bench/vs-fio.sh [/dev/XXX]
#
# Without a device a loop device is made over a file of random data (and
# removed afterwards). Environment: ROUNDS (5), SECS (3, measured seconds per
# phase), SIZE_MIB (2048), LOOP_DIO (on: the loop device reads its file with
# direct I/O, so the host disk is measured, not the page cache), BUILD (the
# build directory, default ./build), UTIL (the utility's path).
source "$(dirname "$0")/fio-compare.sh"
SIZE_MIB=${SIZE_MIB:-2048}
LOOP_DIO=${LOOP_DIO:-on}

DEV=${1:-}
if [ -z "$DEV" ]; then
  echo "making a ${SIZE_MIB} MiB loop device of random data (direct I/O $LOOP_DIO)..."
  head -c "$((SIZE_MIB * 1024 * 1024))" /dev/urandom >"$WORK/disk.img"
  sync "$WORK/disk.img"  # no writeback under the first rounds
  LOOP=$(losetup --direct-io="$LOOP_DIO" -f --show "$WORK/disk.img")
  DEV=$LOOP
fi
use_device "$DEV"
compare "$WORK/runs"
report "$WORK/runs" "vlmperfutil and fio on $DEV"
