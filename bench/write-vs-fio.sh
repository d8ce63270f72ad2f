#!/usr/bin/env bash
# Compares vlmperfwrite with fio's same jobs on the same file system: the
# three write patterns (1 MiB at 8 in flight, 4 KiB at 1, 4 KiB at 32; direct
# I/O; each ended by fdatasync), alternating rounds (ours, fio, then fio, ours),
# medians with their spread and the ratio ours / fio.
#
#   bench/write-vs-fio.sh [FOLDER...]
#
# Without folders: a loop-backed ext4 (a written image in /var/tmp, the loop
# device writing its file with direct I/O) and /var/tmp itself, the VM's own
# disk. Environment: ROUNDS (5), SECS (3, measured seconds per phase), SIZE
# (1G, the test file), BUILD (the build directory, default ./build).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build}
WRITE=$BUILD/VLM-Performance.app/Contents/Resources/vlmperfwrite
ROUNDS=${ROUNDS:-5}
SECS=${SECS:-3}
SIZE=${SIZE:-1G}
die() { echo "write-vs-fio: $*" >&2; exit 1; }
[ -x "$WRITE" ] || die "no $WRITE (build the vlmperfwrite target, or set BUILD)"
command -v fio >/dev/null || die "fio is missing"

WORK=$(mktemp -d /var/tmp/write-vs-fio.XXXXXX)
LOOP="" MNT=""
cleanup() {
  [ -n "$MNT" ] && umount "$MNT" 2>/dev/null || true
  [ -n "$LOOP" ] && losetup -d "$LOOP" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT INT TERM

FOLDERS=("$@")
if [ ${#FOLDERS[@]} -eq 0 ]; then
  [ "$(id -u)" -eq 0 ] || die "run as root for the loop-backed ext4, or name folders"
  # The image written through once: no write of either program waits for the
  # host's file system to allocate the image's blocks, which only the first
  # to touch a region would pay. No discard, which would punch holes again.
  dd if=/dev/zero of="$WORK/ext4.img" bs=1M count=6144 oflag=direct status=none
  LOOP=$(losetup --direct-io=on -f --show "$WORK/ext4.img")
  mkfs.ext4 -q -E nodiscard "$LOOP"
  MNT=$WORK/mnt && mkdir "$MNT" && mount "$LOOP" "$MNT"
  mkdir "$WORK/vm"
  FOLDERS=("$MNT" "$WORK/vm")
fi
RAMP=$(python3 -c "print(min(1.0, $SECS / 5))")

fio_job() {  # folder pattern
  local common=(--filename="$1/fio.tmp" --size="$SIZE" --direct=1 --ioengine=io_uring --time_based
    --ramp_time="$RAMP" --runtime="$SECS" --end_fsync=1 --output-format=json)
  case $2 in
    seq) fio "${common[@]}" --name=seq --rw=write --bs=1M --iodepth=8 ;;
    rand) fio "${common[@]}" --name=rand --rw=randwrite --bs=4k --iodepth=1 --norandommap --randrepeat=0 ;;
    qd32) fio "${common[@]}" --name=qd32 --rw=randwrite --bs=4k --iodepth=32 --norandommap --randrepeat=0 ;;
  esac
}
run_ours() { "$WRITE" --seconds "$SECS" --size "$SIZE" "$1" >"$2" 2>&1 || { cat "$2" >&2; die "vlmperfwrite failed"; }; }
# The three jobs on one file, in the order ours runs them: the same state of its extents.
run_fio() { local p; for p in seq rand qd32; do fio_job "$1" "$p" >"$2.$p"; done; rm -f "$1/fio.tmp"; }

for i in "${!FOLDERS[@]}"; do
  f=${FOLDERS[$i]} d=$WORK/runs.$i
  mkdir -p "$d"
  echo "$f: $(findmnt -n -o SOURCE,FSTYPE -T "$f" | tr -s ' '), $ROUNDS rounds, ${SECS}s per phase, file $SIZE;" \
    "$(date -u '+%Y-%m-%d %H:%M UTC'), load average $(cut -d' ' -f1-3 /proc/loadavg)" >&2
  for r in $(seq 1 "$ROUNDS"); do
    if [ $((r % 2)) -eq 1 ]; then run_ours "$f" "$d/ours.$r"; run_fio "$f" "$d/fio.$r"
    else run_fio "$f" "$d/fio.$r"; run_ours "$f" "$d/ours.$r"; fi
  done
  python3 - "$d" "$ROUNDS" "$f ($(findmnt -n -o FSTYPE -T "$f") on $(findmnt -n -o SOURCE -T "$f"))" <<'PY'
import json, statistics, sys
d, rounds, title = sys.argv[1], int(sys.argv[2]), sys.argv[3]
names = ["Write sequential", "Write random", "Write random QD32"]
ours = {n: [] for n in names}; fio = {n: [] for n in names}
for r in range(1, rounds + 1):
    line = next(l for l in open(f"{d}/ours.{r}", encoding="utf-8", errors="replace") if l.startswith("\x1e"))
    for ph in json.loads(line[1:])["phases"]:
        ours[ph["name"]].append(ph["kbps"] / 1000)
    for n, p in zip(names, ["seq", "rand", "qd32"]):
        fio[n].append(json.load(open(f"{d}/fio.{r}.{p}"))["jobs"][0]["write"]["bw_bytes"] / 1e6)
print(f"\n{title}\n")
print("| Figure (MB/s) | vlmperfwrite | fio | ours / fio |")
print("|---|---|---|---|")
for n in names:
    o, f = ours[n], fio[n]
    ratios = sorted(a / b for a, b in zip(o, f))
    print(f"| {n} | {statistics.median(o):.1f} ({min(o):.1f}-{max(o):.1f}) | {statistics.median(f):.1f} "
          f"({min(f):.1f}-{max(f):.1f}) | {statistics.median(ratios):.2f} ({ratios[0]:.2f}-{ratios[-1]:.2f}) |")
PY
done
echo "$(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, $(uname -r), $(fio --version)," \
  "load average $(cut -d' ' -f1-3 /proc/loadavg)"
