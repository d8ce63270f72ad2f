#!/usr/bin/env bash
# Installs every package the build, the tests and the benchmarks need (Debian 12);
# with --package also the packaging tools.
set -euo pipefail
PKGS=(
  build-essential cmake pkg-config git
  libgtest-dev libgmock-dev
  nlohmann-json3-dev
  libsqlite3-dev sqlite3
  libblkid-dev libfdisk-dev libudev-dev libfuse3-dev fuse3 liburing-dev libssl-dev
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins qt6-charts-dev libqt6opengl6-dev fonts-dejavu-core
  libgl-dev
  xvfb xauth
  util-linux fdisk gdisk e2fsprogs fio python3
  dosfstools exfatprogs btrfs-progs xfsprogs ntfs-3g lvm2 cryptsetup-bin
  python3-jsonschema prometheus
  polkitd pkexec
  xdg-utils
)
# With --package: what scripts/package.sh and scripts/check-package.sh need too.
[ "${1:-}" = --package ] && PKGS+=(dpkg-dev lintian appstream desktop-file-utils mmdebstrap)
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
echo "installing: ${missing[*]}"
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
