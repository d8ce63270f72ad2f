#!/usr/bin/env bash
# Installs, upgrades and purges the Debian package in a fresh Debian 12 root of
# its own (mmdebstrap, from this machine's apt sources), as root:
#   sudo bash scripts/check-package.sh [OLD.deb NEW.deb]
# Without arguments it builds both with scripts/package.sh: this tree, and a
# copy of it whose version is one patch level higher (a newer build, whose
# utility differs). Checks: apt pulls every dependency, `vlm-performance --list`
# works for root and for an ordinary user, the utility is root 4711 and the
# same as the bundle's, the upgrade replaces it, an ordinary user measures a
# loop device through it, and after purge the root holds no file that it did
# not hold before. The root and the loop device are removed at the end.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
[ "$(id -u)" -eq 0 ] || { echo "check-package.sh: must run as root (mmdebstrap, chroot)" >&2; exit 1; }
bash "$src/scripts/install-deps.sh" --package

work=$(mktemp -d /tmp/vlm-check-package-XXXXXX)
root=$work/root
loopdev=""
trap '[ -z "$loopdev" ] || losetup -d "$loopdev"; rm -rf --one-file-system "$work"' EXIT
fail() { echo "check-package.sh: FAILED: $*" >&2; exit 1; }
step() { echo "== $*"; }

if [ $# -eq 2 ]; then
  old=$(realpath "$1") new=$(realpath "$2")
else
  [ $# -eq 0 ] || { echo "usage: check-package.sh [OLD.deb NEW.deb]" >&2; exit 2; }
  step "building this tree's package"
  old=$(bash "$src/scripts/package.sh" "$work/old" | tail -n 1)
  step "building a newer one (version + 1 patch level)"
  mkdir "$work/newer"
  git -C "$src" ls-files -z -co --exclude-standard |
    tar -C "$src" --null -T - --ignore-failed-read -cf - | tar -C "$work/newer" -xf -
  v=$(sed -n -E 's/^project\(VLMPerformance VERSION ([0-9]+\.[0-9]+\.[0-9]+).*/\1/p' "$src/CMakeLists.txt")
  [ -n "$v" ] || fail "no project version in CMakeLists.txt"
  sed -i "s/^project(VLMPerformance VERSION $v/project(VLMPerformance VERSION ${v%.*}.$((${v##*.} + 1))/" \
    "$work/newer/CMakeLists.txt"
  new=$(VLM_PACKAGE_BUILD= VLM_MAINTAINER=$(dpkg-deb -f "$old" Maintainer) \
    bash "$work/newer/scripts/package.sh" "$work/new" | tail -n 1)
fi
vold=$(dpkg-deb -f "$old" Version) vnew=$(dpkg-deb -f "$new" Version)
dpkg --compare-versions "$vnew" gt "$vold" || fail "$new ($vnew) is not newer than $old ($vold)"

step "a fresh Debian 12 root"
sources=/etc/apt/sources.list.d/debian.sources
[ -f "$sources" ] || sources=/etc/apt/sources.list
mmdebstrap --quiet --variant=apt --mode=root bookworm "$root" "$sources"
cp "$old" "$new" "$root/tmp/"
# No service starts inside the root.
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod 755 "$root/usr/sbin/policy-rc.d"

# Runs a command in the root, with the machine's /proc, /sys and /dev in a
# mount namespace of its own: the mounts end with it.
inroot() {
  unshare --mount --propagation private -- sh -c '
    root=$1; shift
    mount -t proc proc "$root/proc" && mount --rbind /sys "$root/sys" && mount --rbind /dev "$root/dev" &&
      exec chroot "$root" "$@"' sh "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
    DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8 "$@"
}
# Every path in the root but the package manager's own state, caches and logs.
listing() {
  (cd "$root" && find . -xdev \( -path ./proc -o -path ./sys -o -path ./dev -o -path ./tmp -o -path ./run \
    -o -path ./var/lib/dpkg -o -path ./var/lib/apt -o -path ./var/cache -o -path ./var/log \) -prune \
    -o -print | LC_ALL=C sort)
}
deps() { dpkg-deb -f "$1" Depends Recommends | sed 's/^[A-Za-z]*: //' | paste -sd, - | sed 's/,/, /g; s/  */ /g'; }

# What apt pulls in for the package stays after its purge: the root is listed
# with exactly that in place, taken from the package's own fields.
step "its dependencies (Depends, Recommends), then the listing before"
inroot apt-get update -q >/dev/null
inroot apt-get satisfy -y -q "$(deps "$old")" >"$work/apt-deps.log" 2>&1 ||
  { cat "$work/apt-deps.log"; fail "apt satisfy"; }
echo "   $(grep -c '^Unpacking' "$work/apt-deps.log") packages"
listing >"$work/before"
step "apt install ./$(basename "$old")"
inroot apt-get install -y -q "/tmp/$(basename "$old")" >"$work/apt-install.log" 2>&1 ||
  { cat "$work/apt-install.log"; fail "apt install"; }

util=/usr/libexec/vlm-performance/vlmperfutil
bundleutil=/usr/lib/vlm-performance/VLM-Performance.app/Contents/Resources/vlmperfutil
check_installed() {  # VERSION
  local got
  got=$(inroot stat -c '%U:%G %a %F' "$util")
  [ "$got" = "root:root 4711 regular file" ] || fail "$util is '$got', not root:root 4711"
  cmp -s "$root$util" "$root$bundleutil" || fail "$util is not the bundle's utility"
  # The write test runs as the user: never set-user-ID.
  got=$(inroot stat -c '%a' "${bundleutil%/*}/vlmperfwrite")
  [ "$got" = 755 ] || fail "vlmperfwrite is mode '$got', not 755"
  inroot dpkg-query -W -f '${Version}' vlm-performance | grep -qx "$1" || fail "version is not $1"
  inroot vlm-performance --list >"$work/list-root" || fail "vlm-performance --list (root)"
  inroot setpriv --reuid=65534 --regid=65534 --clear-groups env HOME=/tmp \
    vlm-performance --list --json >"$work/list-user" || fail "vlm-performance --list --json (nobody)"
  # The user's list names the disks lsblk sees (but loop devices, which come
  # and go, and empty ones).
  for d in $(lsblk -dnb -o NAME,SIZE -e 7,11 | awk '$2 > 0 { print $1 }'); do
    grep -q "\"Node\": \"$d\"" "$work/list-user" || fail "the list lacks $d, which lsblk shows"
  done
  inroot setpriv --reuid=65534 --regid=65534 --clear-groups env HOME=/tmp \
    vlm-performance --install-utility | grep -q "is in place (root, 4711" ||
    fail "--install-utility does not find the utility in place"
  [ -f "$root/usr/share/polkit-1/actions/org.velmora.vlm-performance.policy" ] || fail "no polkit action"
  [ -z "$(find "$root/etc/systemd" -name 'vlm-performance@*' 2>/dev/null)" ] || fail "a unit is enabled"
  echo "   $1: --list works for root and nobody, $util root 4711"
}
check_installed "$vold"
inroot dpkg -L vlm-performance >"$work/files-old"
sum_old=$(sha256sum <"$root$util")

step "upgrade: apt install ./$(basename "$new")"
inroot apt-get install -y -q "/tmp/$(basename "$new")" >"$work/apt-upgrade.log" 2>&1 ||
  { cat "$work/apt-upgrade.log"; fail "apt upgrade"; }
check_installed "$vnew"
[ "$(sha256sum <"$root$util")" != "$sum_old" ] || fail "the upgrade left the old utility"
leftovers=$(cd "$root" && find usr/libexec/vlm-performance usr/lib/vlm-performance -name '*.dpkg-*')
[ -z "$leftovers" ] || fail "the upgrade left $leftovers"
echo "   the upgrade replaced the utility"

# The whole road an ordinary user takes: the command, the set-user-ID copy, the
# device read, with no question. Loop devices are attached under the suite's lock.
step "a read test by nobody on a loop device of its own"
truncate -s 64M "$work/disk.img"
exec 8>/tmp/vlm-suite.lock
flock 8
loopdev=$(losetup -f --show "$work/disk.img")
inroot setpriv --reuid=65534 --regid=65534 --clear-groups env HOME=/tmp \
  vlm-performance --test "${loopdev#/dev/}" --yes >"$work/test.log" 2>&1 </dev/null ||
  { cat "$work/test.log"; fail "vlm-performance --test ${loopdev#/dev/} --yes (nobody)"; }
losetup -d "$loopdev"
loopdev=""
flock -u 8
grep -q '^Result: Ok' "$work/test.log" && grep -qE '^Threaded: [0-9]+ KB/s' "$work/test.log" ||
  { cat "$work/test.log"; fail "the read test gave no result"; }
echo "   $(grep -E '^Figures for' "$work/test.log")"
inroot dpkg -L vlm-performance >"$work/files-new"

step "apt purge vlm-performance"
inroot apt-get purge -y -q vlm-performance >"$work/apt-purge.log" 2>&1 ||
  { cat "$work/apt-purge.log"; fail "apt purge"; }
listing >"$work/after"
if ! diff "$work/before" "$work/after" >"$work/diff"; then
  cat "$work/diff"
  fail "the root after purge differs from the root before install"
fi
for f in $(cat "$work/files-old" "$work/files-new" | grep -vx '/\.' | LC_ALL=C sort -u); do
  # /lib and the like are links into /usr: compare where a path really is
  real=$(readlink -f "$root$f") || continue
  [ -e "$real" ] && ! grep -qxF ".${real#"$root"}" "$work/before" && fail "$f is left"
done
echo "   nothing of the package is left ($(wc -l <"$work/before") paths before and after)"
echo "check-package.sh: passed ($vold, upgraded to $vnew, purged)"
