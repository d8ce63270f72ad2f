#!/usr/bin/env bash
# Builds the Debian package vlm-performance_VERSION_ARCH.deb from this tree, in
# a build folder of its own, and checks it with lintian, appstreamcli and
# desktop-file-validate.
#   bash scripts/package.sh [OUTDIR]      (default: out/)
# VLM_PACKAGE_BUILD=DIR keeps the build folder (a rebuild is then quicker);
# VLM_MAINTAINER="Name <address>" names the maintainer (default: the last
# commit's author). The version is the project's (CMakeLists.txt), the one the
# program's About shows.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "${1:-$src/out}" && cd "${1:-$src/out}" && pwd)
bash "$src/scripts/install-deps.sh" --package

work=$(mktemp -d /tmp/vlm-package-XXXXXX)
trap 'rm -rf "$work"' EXIT
build=${VLM_PACKAGE_BUILD:-$work/build}
stage=$work/stage
name=vlm-performance

export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$src" log -1 --format=%ct 2>/dev/null || date +%s)}
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
# Stripped at link time: the installer carries the SHA-256 of the utility as
# linked, so the utility may not change after that.
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVLM_BUILD_TESTS=OFF "${launcher[@]}" \
  -DCMAKE_EXE_LINKER_FLAGS=-s -DCMAKE_INSTALL_PREFIX=/usr -DVLM_BUNDLE_PARENT=lib/$name \
  -DVLM_UTILITY_DIR=/usr/libexec/$name -DVLM_POLKIT_ACTIONS_DIR=/usr/share/polkit-1/actions \
  -DVLM_SYSTEMD_UNIT_DIR=/lib/systemd/system >"$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; exit 1; }
cmake --build "$build" -j2 >>"$work/cmake.log" 2>&1 ||
  { tail -n 60 "$work/cmake.log"; exit 1; }
DESTDIR=$stage cmake --install "$build" >>"$work/cmake.log" 2>&1 || { tail -n 30 "$work/cmake.log"; exit 1; }

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
arch=$(dpkg --print-architecture)
[ -n "$version" ] || { echo "package.sh: no project version in $build/CMakeCache.txt" >&2; exit 1; }
bundle=usr/lib/$name/VLM-Performance.app
res=$stage/$bundle/Contents/Resources
for f in "$stage/$bundle/Contents/MacOS/VLM-Performance" "$stage/$bundle/Contents/MacOS/VLM-Performance-window" \
  "$res/vlmperfutil" "$res/vlmperfinstall" "$res/vlmperfwrite" \
  "$stage/usr/share/polkit-1/actions/org.velmora.$name.policy"; do
  [ -f "$f" ] || { echo "package.sh: the install left out ${f#"$stage"}" >&2; exit 1; }
done

# The set-user-ID copy ordinary users run: the package itself makes it root
# 4711 (dpkg applies the mode, or an administrator's dpkg-statoverride).
install -D -m 4711 "$res/vlmperfutil" "$stage/usr/libexec/$name/vlmperfutil"
# Debian's places: compressed manual page, copyright and changelog.
gzip -9n "$stage/usr/share/man/man1/$name.1"
doc=$stage/usr/share/doc/$name
mkdir -p "$doc"
maintainer=${VLM_MAINTAINER:-$(git -C "$src" log -1 --format='%an <%ae>' 2>/dev/null || true)}
[ -n "$maintainer" ] || { echo "package.sh: set VLM_MAINTAINER=\"Name <address>\"" >&2; exit 1; }
commit=$(git -C "$src" rev-parse --short HEAD 2>/dev/null || echo unknown)
cat >"$doc/copyright" <<EOF
VLM-Performance (Velmora Performance), a desktop disk performance tool.

Copyright $(date -u -d "@$SOURCE_DATE_EPOCH" +%Y) the VLM-Performance developers.
Source: the project's repository, commit $commit.
EOF
cat >"$work/changelog" <<EOF
$name ($version) unstable; urgency=medium

  * Built from commit $commit.

 -- $maintainer  $(date -u -R -d "@$SOURCE_DATE_EPOCH")
EOF
gzip -9n -c "$work/changelog" >"$doc/changelog.gz"

# Control files. Depends: the libraries the binaries link (dpkg-shlibdeps) and
# the window's platform plugins, which no binary names.
mkdir -p "$stage/DEBIAN" "$work/debian"
echo "Source: $name" >"$work/debian/control"
mapfile -t elves < <(find "$stage/$bundle" -type f -perm /111 -exec sh -c 'head -c 4 "$1" | grep -q ELF' sh {} \; -print)
deps=$(cd "$work" && dpkg-shlibdeps -O "${elves[@]/#/-e}" 2>/dev/null | sed -n 's/^shlibs:Depends=//p')
[ -n "$deps" ] || { echo "package.sh: dpkg-shlibdeps found no libraries" >&2; exit 1; }
cat >"$stage/DEBIAN/control" <<EOF
Package: $name
Version: $version
Architecture: $arch
Maintainer: $maintainer
Installed-Size: $(du -sk --exclude=DEBIAN "$stage" | cut -f1)
Depends: $deps, qt6-qpa-plugins
Recommends: pkexec, xdg-utils
Suggests: prometheus-node-exporter
Section: admin
Priority: optional
Description: disk performance tool
 VLM-Performance lists every disk and partition of the machine, one coloured
 row each, and measures the read speed of the selected one: sequential,
 random, dual-stream and threaded reads through a small set-user-ID utility
 that opens the device read-only and drops root once it is open. Each run
 checks its figures against the kernel's counters and the disk's link.
 .
 Without the window it lists the disks as text or JSON and measures one
 device, writing a test record and figures for Prometheus' textfile
 collector; systemd units for a weekly test of a disk come with it.
EOF
# Purge takes away what the read test's service kept: its records and the
# timers an administrator enabled.
cat >"$stage/DEBIAN/postrm" <<'EOF'
#!/bin/sh
set -e
if [ "$1" = purge ]; then
    rm -rf /var/lib/vlm-performance
    rm -f /etc/systemd/system/timers.target.wants/vlm-performance@*.timer
fi
EOF
chmod 0755 "$stage/DEBIAN/postrm"
(cd "$stage" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | LC_ALL=C sort -z |
  xargs -0 md5sum >DEBIAN/md5sums)
chmod 0644 "$stage/DEBIAN/control" "$stage/DEBIAN/md5sums"
find "$stage" -newermt "@$SOURCE_DATE_EPOCH" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +

deb=$out/${name}_${version}_${arch}.deb
dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb" >/dev/null

# Checks of what was built.
man_help_missing=()
for opt in $("$stage/$bundle/Contents/MacOS/VLM-Performance" --help | grep -o -- '--[a-z][a-z-]*' | sort -u); do
  zgrep -qF -- "${opt//-/\\-}" "$stage/usr/share/man/man1/$name.1.gz" || man_help_missing+=("$opt")
done
[ ${#man_help_missing[@]} -eq 0 ] || { echo "package.sh: the manual page lacks ${man_help_missing[*]}" >&2; exit 1; }
appstreamcli validate --no-net "$stage/usr/share/metainfo/"*.metainfo.xml >/dev/null
desktop-file-validate "$stage/usr/share/applications/$name.desktop"
lintian --fail-on error "$deb" >&2
echo "$deb"
