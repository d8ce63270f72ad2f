# The comparison of vlmperfutil with fio, sourced by vs-fio.sh and ceiling.sh:
# the same four read patterns, alternating rounds (ours, fio, fio with
# registered buffers and file, then the other way round), medians with their
# spread, latency of the random phase and the CPU time each program took.
#
# Environment: ROUNDS (5), SECS (3, measured seconds per phase), BUILD (the
# build directory, default ./build), UTIL (the utility's path).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${BUILD:-$ROOT/build}
UTIL=${UTIL:-$BUILD/VLM-Performance.app/Contents/Resources/vlmperfutil}
ROUNDS=${ROUNDS:-5}
SECS=${SECS:-3}
PROG=$(basename "$0" .sh)

die() { echo "$PROG: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || die "run as root (raw device reads, loop devices)"
[ -x "$UTIL" ] || die "no utility at $UTIL (build the vlmperfutil target, or set BUILD or UTIL)"
for t in fio python3 g++ losetup; do command -v "$t" >/dev/null || die "$t is missing"; done

WORK=$(mktemp -d "/var/tmp/$PROG.XXXXXX")
LOOP=""
CLEANUPS=()  # commands run at exit, last first
cleanup() {
  local i
  for ((i = ${#CLEANUPS[@]} - 1; i >= 0; i--)); do eval "${CLEANUPS[i]}" || true; done
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

# use_device DEV: the device every round reads.
use_device() {
  DEV=$1
  [ -b "$DEV" ] || die "$DEV is not a block device"
  # Names of virtual disks move as other loop devices come and go: looked up again before each run.
  NAME=$("$WORK/devname" "$DEV") || die "no device name for $DEV"
  THREADS=$(nproc); [ "$THREADS" -gt 8 ] && THREADS=8
  RAMP=$(python3 -c "print(min(1.0, $SECS / 5))")
  FIO_COMMON=(--filename="$DEV" --readonly --direct=1 --ioengine=io_uring --time_based
    --ramp_time="$RAMP" --runtime="$SECS" --output-format=json)
  echo "device $DEV ($NAME), $ROUNDS rounds, ${SECS}s per phase, ramp ${RAMP}s, $THREADS threads"
}

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
run_ours() {  # dir round
  NAME=$("$WORK/devname" "$DEV") || die "no device name for $DEV"
  { time "$UTIL" -s "$SECS" -T "$NAME" "$PROG" >"$1/ours.$2" 2>&1; } 2>"$1/ours.cpu.$2" \
    || { cat "$1/ours.$2" >&2; die "vlmperfutil failed in round $2"; }
}
run_fio() {  # dir tag round extra-args...
  local dir=$1 tag=$2 r=$3; shift 3
  local p
  for p in seq rand dual thr; do
    { time fio_job "$p" "$@" >"$dir/$tag.$p.$r" 2>"$WORK/fio.err"; } 2>>"$dir/$tag.cpu.$r" \
      || { cat "$WORK/fio.err" >&2; die "fio ($tag $p) failed in round $r"; }
  done
}

# compare DIR: ROUNDS alternating rounds, results kept in DIR.
compare() {
  local dir=$1 r
  mkdir -p "$dir"
  for r in $(seq 1 "$ROUNDS"); do
    echo "round $r/$ROUNDS"
    { time fio_job start >/dev/null 2>&1; } 2>"$dir/start.cpu.$r"
    if [ $((r % 2)) -eq 1 ]; then
      run_ours "$dir" "$r"; run_fio "$dir" fio "$r"; run_fio "$dir" fixed "$r" --fixedbufs --registerfiles
    else
      run_fio "$dir" fixed "$r" --fixedbufs --registerfiles; run_fio "$dir" fio "$r"; run_ours "$dir" "$r"
    fi
  done
}

# report DIR TITLE: the table of medians.
report() {
  python3 - "$1" "$ROUNDS" "$SECS" "$2" <<'PY'
import json, re, statistics, sys
work, rounds, secs, title = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), sys.argv[4]
keys = ["Sequential", "Random", "Dual", "Threaded"]
pats = ["seq", "rand", "dual", "thr"]
tags = ("ours", "fio", "fixed")
rows = {k: {t: [] for t in tags}
        for k in keys + ["lat mean us", "lat p99 us", "CPU s", "CPU s net", "CPU s/GB"]}

def cpu(path):
    return sum(float(u) + float(s) for u, s in (l.split() for l in open(path) if l.strip()))

for r in range(1, rounds + 1):
    text = open(f"{work}/ours.{r}").read()
    got = 0.0
    for k in keys:
        m = re.search(rf"^{k}: (\d+) KB/s$", text, re.M)
        if not m:
            sys.exit(f"round {r}: no '{k}:' line in the utility's output:\n{text}")
        rows[k]["ours"].append(int(m.group(1)))
        got += int(m.group(1)) * 1000 * secs
    m = re.search(r"latency mean ([\d.]+) us, p99 ([\d.]+) us", text)
    rows["lat mean us"]["ours"].append(float(m.group(1)))
    rows["lat p99 us"]["ours"].append(float(m.group(2)))
    rows["CPU s"]["ours"].append(cpu(f"{work}/ours.cpu.{r}"))
    rows["CPU s net"]["ours"].append(rows["CPU s"]["ours"][-1])
    rows["CPU s/GB"]["ours"].append(rows["CPU s net"]["ours"][-1] / (got / 1e9))
    for tag in ("fio", "fixed"):
        got = 0.0
        for k, p in zip(keys, pats):
            job = json.load(open(f"{work}/{tag}.{p}.{r}"))["jobs"][0]["read"]
            rows[k][tag].append(job["bw_bytes"] / 1000)
            got += job["bw_bytes"] * secs
            if p == "rand":
                rows["lat mean us"][tag].append(job["lat_ns"]["mean"] / 1000)
                rows["lat p99 us"][tag].append(job["lat_ns"]["percentile"]["99.000000"] / 1000)
        rows["CPU s"][tag].append(cpu(f"{work}/{tag}.cpu.{r}"))
        rows["CPU s net"][tag].append(cpu(f"{work}/{tag}.cpu.{r}") - 4 * cpu(f"{work}/start.cpu.{r}"))
        rows["CPU s/GB"][tag].append(rows["CPU s net"][tag][-1] / (got / 1e9))

def spread(v):
    med = statistics.median(v)
    return (max(v) - min(v)) / med * 100 if med else 0.0

def ratio(a, b):
    return a / b if b else 0.0

print(f"\n{title}")
print(f"{'figure':<16}{'ours':>11}{'fio':>11}{'ratio':>7}{'fio fixed':>11}{'ratio':>7}{'to best':>8}"
      f"   spread ours/fio/fixed")
for name, d in rows.items():
    o, f, x = (statistics.median(d[t]) for t in tags)
    unit = " KB/s" if name in keys else ""
    # The best of fio's two: the faster, or the one with less latency or CPU.
    best = max(f, x) if name in keys else min(f, x)
    w = 3 if name.startswith("CPU") else 1
    print(f"{name + unit:<16}{o:>11.{w}f}{f:>11.{w}f}{ratio(o, f):>7.3f}{x:>11.{w}f}{ratio(o, x):>7.3f}"
          f"{ratio(o, best):>8.3f}   {spread(d['ours']):.0f}%/{spread(d['fio']):.0f}%/{spread(d['fixed']):.0f}%")
print("\nMedians of the rounds. CPU s: user+system of one run of all four phases (fio: four runs,")
print("its start-up included); CPU s net: fio less four times a run that only starts and reads")
print("4 KiB; CPU s/GB: CPU s net over the bytes the four figures count (figure times seconds).")
PY
}
