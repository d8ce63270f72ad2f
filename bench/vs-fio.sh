#!/usr/bin/env bash
# Compares vlmperfutil with fio on one block device: the same four read
# patterns, alternating rounds, medians with their spread, and the CPU time
# (user + system) each program took, and the time the utility's checks (the
# kernel's counters read around each phase, outside its timed window) take.
#
#   bench/vs-fio.sh [/dev/XXX]
#
# Without a device a loop device is made over a file of random data (and
# removed afterwards). Environment: ROUNDS (5), SECS (3, measured seconds per
# phase), SIZE_MIB (2048), LOOP_DIO (on: the loop device reads its file with
# direct I/O, so the host disk is measured, not the page cache), BUILD (the
# build directory, default ./build), UTIL (the utility's path).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build}
UTIL=${UTIL:-$BUILD/VLM-Performance.app/Contents/Resources/vlmperfutil}
ROUNDS=${ROUNDS:-5}
SECS=${SECS:-3}
SIZE_MIB=${SIZE_MIB:-2048}
LOOP_DIO=${LOOP_DIO:-on}

die() { echo "vs-fio: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || die "run as root (raw device reads, loop devices)"
[ -x "$UTIL" ] || die "no utility at $UTIL (build the vlmperfutil target, or set BUILD or UTIL)"
for t in fio python3 g++ losetup; do command -v "$t" >/dev/null || die "$t is missing"; done

WORK=$(mktemp -d /var/tmp/vs-fio.XXXXXX)
LOOP=""
cleanup() {
  [ -n "$LOOP" ] && losetup -d "$LOOP" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT INT TERM

# The utility takes a device name ("disk3"): resolve it with the project's own map.
cat >"$WORK/devname.cpp" <<'CPP'
#include <sys/stat.h>
#include <cstdio>
#include "platform/devnames.h"
int main(int argc, char** argv) {
  struct stat st;
  if (argc != 2 || stat(argv[1], &st) != 0 || !S_ISBLK(st.st_mode)) return 1;
  auto d = vlm::devnames::byDevno(st.st_rdev);
  if (!d) return 1;
  std::printf("%s\n", d->name.c_str());
  return 0;
}
CPP
g++ -std=c++20 -O1 -I"$ROOT" "$WORK/devname.cpp" "$ROOT/platform/devnames.cpp" -o "$WORK/devname" \
  || die "can't build the device-name helper"

DEV=${1:-}
if [ -z "$DEV" ]; then
  echo "making a ${SIZE_MIB} MiB loop device of random data (direct I/O $LOOP_DIO)..."
  head -c "$((SIZE_MIB * 1024 * 1024))" /dev/urandom >"$WORK/disk.img"
  sync "$WORK/disk.img"  # no writeback under the first rounds
  LOOP=$(losetup --direct-io="$LOOP_DIO" -f --show "$WORK/disk.img")
  DEV=$LOOP
fi
[ -b "$DEV" ] || die "$DEV is not a block device"
# Names of virtual disks move as other loop devices come and go: looked up again before each run.
NAME=$("$WORK/devname" "$DEV") || die "no device name for $DEV"
THREADS=$(nproc); [ "$THREADS" -gt 8 ] && THREADS=8
RAMP=$(python3 -c "print(min(1.0, $SECS / 5))")
echo "device $DEV ($NAME), $ROUNDS rounds, ${SECS}s per phase, ramp ${RAMP}s, $THREADS threads"

FIO_COMMON=(--filename="$DEV" --readonly --direct=1 --ioengine=io_uring --time_based
  --ramp_time="$RAMP" --runtime="$SECS" --output-format=json)
fio_job() {  # pattern extra-args...
  local p=$1; shift
  case $p in
    seq) fio "${FIO_COMMON[@]}" "$@" --name=seq --rw=read --bs=1M --iodepth=8 ;;
    rand) fio "${FIO_COMMON[@]}" "$@" --name=rand --rw=randread --bs=4k --iodepth=1 \
      --norandommap --randrepeat=0 --lat_percentiles=1 ;;
    dual) fio "${FIO_COMMON[@]}" "$@" --rw=read --bs=1M --iodepth=4 --group_reporting \
      --name=a --offset=0 --size=50% --name=b --offset=50% --size=50% ;;
    start) fio --filename="$DEV" --readonly --direct=1 --ioengine=io_uring --output-format=json \
      --name=start --rw=read --bs=4k --size=4k ;;  # start-up and exit only
    thr) fio "${FIO_COMMON[@]}" "$@" --name=thr --rw=randread --bs=4k --iodepth=8 --thread \
      --numjobs="$THREADS" --norandommap --randrepeat=0 --group_reporting ;;
  esac
}

TIMEFORMAT='%3U %3S'
run_ours() {  # round
  NAME=$("$WORK/devname" "$DEV") || die "no device name for $DEV"
  { time "$UTIL" -s "$SECS" -T "$NAME" vs-fio >"$WORK/ours.$1" 2>&1; } 2>"$WORK/ours.cpu.$1" \
    || { cat "$WORK/ours.$1" >&2; die "vlmperfutil failed in round $1"; }
}
run_fio() {  # tag round extra-args...
  local tag=$1 r=$2; shift 2
  local p
  for p in seq rand dual thr; do
    { time fio_job "$p" "$@" >"$WORK/$tag.$p.$r" 2>"$WORK/fio.err"; } 2>>"$WORK/$tag.cpu.$r" \
      || { cat "$WORK/fio.err" >&2; die "fio ($tag $p) failed in round $r"; }
  done
}
for r in $(seq 1 "$ROUNDS"); do
  echo "round $r/$ROUNDS"
  { time fio_job start >/dev/null 2>&1; } 2>"$WORK/start.cpu.$r"
  if [ $((r % 2)) -eq 1 ]; then
    run_ours "$r"; run_fio fio "$r"; run_fio fixed "$r" --fixedbufs --registerfiles
  else
    run_fio fixed "$r" --fixedbufs --registerfiles; run_fio fio "$r"; run_ours "$r"
  fi
done

python3 - "$WORK" "$ROUNDS" "$SECS" <<'PY'
import json, re, statistics, sys
work, rounds = sys.argv[1], int(sys.argv[2])
keys = ["Sequential", "Random", "Dual", "Threaded"]
pats = ["seq", "rand", "dual", "thr"]
rows = {k: {"ours": [], "fio": [], "fixed": []}
        for k in keys + ["lat mean us", "lat p99 us", "CPU s", "CPU s net"]}
checks = {k: [] for k in keys}  # microseconds the counter readings took around each phase

def cpu(path):
    return sum(float(u) + float(s) for u, s in (l.split() for l in open(path) if l.strip()))

for r in range(1, rounds + 1):
    text = open(f"{work}/ours.{r}").read()
    for k in keys:
        m = re.search(rf"^{k}: (\d+) KB/s$", text, re.M)
        if not m:
            sys.exit(f"round {r}: no '{k}:' line in the utility's output:\n{text}")
        rows[k]["ours"].append(int(m.group(1)))
    for k in keys:
        m = re.search(rf"^Kernel counters, {k} phase: .* counters read in (\d+) us\)$", text, re.M)
        if m:
            checks[k].append(int(m.group(1)))
    m = re.search(r"latency mean ([\d.]+) us, p99 ([\d.]+) us", text)
    rows["lat mean us"]["ours"].append(float(m.group(1)))
    rows["lat p99 us"]["ours"].append(float(m.group(2)))
    rows["CPU s"]["ours"].append(cpu(f"{work}/ours.cpu.{r}"))
    for tag in ("fio", "fixed"):
        for k, p in zip(keys, pats):
            job = json.load(open(f"{work}/{tag}.{p}.{r}"))["jobs"][0]["read"]
            rows[k][tag].append(job["bw_bytes"] / 1000)
            if p == "rand":
                rows["lat mean us"][tag].append(job["lat_ns"]["mean"] / 1000)
                rows["lat p99 us"][tag].append(job["lat_ns"]["percentile"]["99.000000"] / 1000)
        rows["CPU s"][tag].append(cpu(f"{work}/{tag}.cpu.{r}"))
        rows["CPU s net"][tag].append(cpu(f"{work}/{tag}.cpu.{r}") - 4 * cpu(f"{work}/start.cpu.{r}"))
    rows["CPU s net"]["ours"].append(rows["CPU s"]["ours"][-1])

def spread(v):
    med = statistics.median(v)
    return (max(v) - min(v)) / med * 100 if med else 0.0

print()
print(f"{'figure':<16}{'ours':>12}{'fio':>12}{'ratio':>8}{'fio fixed':>12}{'ratio':>8}"
      f"   spread ours/fio/fixed")
for name, d in rows.items():
    o, f, x = (statistics.median(d[t]) for t in ("ours", "fio", "fixed"))
    unit = " KB/s" if name in keys else ""
    print(f"{name + unit:<16}{o:>12.1f}{f:>12.1f}{o / f if f else 0:>8.3f}{x:>12.1f}"
          f"{o / x if x else 0:>8.3f}   {spread(d['ours']):.0f}%/{spread(d['fio']):.0f}%/"
          f"{spread(d['fixed']):.0f}%")
print("\nThe checks: the kernel's counters read before and after each phase, outside its timed window")
print(f"{'phase':<16}{'checks us':>12}{'phase us':>12}{'share':>10}")
for k in keys:
    if checks[k]:
        us = statistics.median(checks[k])
        print(f"{k:<16}{us:>12.0f}{float(sys.argv[3]) * 1e6:>12.0f}{us / (float(sys.argv[3]) * 1e6) * 100:>9.4f}%")
    else:
        print(f"{k:<16}{'none':>12}")
print("\nCPU s: user+system of one run of all four phases (fio: four runs, its start-up included);")
print("CPU s net: fio less four times the CPU of a run that only starts and reads 4 KiB")
PY
