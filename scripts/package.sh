#!/usr/bin/env bash
# Builds the Debian packages (under /usr, whatever the build's prefix) and checks them: each holds the files it must, the
# installed host finds its module and toolkit, and the units pass
# `systemd-analyze verify` where that tool exists.
# Usage: scripts/package.sh [BUILD_DIR]; the packages land in BUILD_DIR/packages.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$(realpath "${1:-build}")
rm -rf "$dir/packages"
(cd "$dir" && cpack -G DEB -B "$dir/packages" >/dev/null)
rm -rf "$dir/packages/_CPack_Packages"

failed=0
fail() { echo "package.sh: $*" >&2; failed=1; }
deb() { ls "$dir"/packages/"$1"_*.deb; }

# package, then the files it must hold
expect() {
  local package=$1 file list
  shift
  list=$(dpkg-deb -c "$(deb "$package")" | awk '{print $6}')
  for file; do
    grep -qx "./$file" <<<"$list" || fail "$package lacks /$file"
  done
  [[ $(dpkg-deb -f "$(deb "$package")" Depends) == *libc6* ]] ||
    fail "$package has no library dependencies (shlibdeps)"
  [[ $(dpkg-deb --ctrl-tarfile "$(deb "$package")" | tar -t) == *./postinst* ]] ||
    fail "$package has no postinst (the user krt)"
}
expect krt-appserver usr/bin/krt-appserver usr/lib/systemd/system/krt-appserver.service \
  usr/share/krt/krt.ini.example usr/share/krt/schema/sqlite.sql usr/share/krt/schema/postgresql.sql
expect krt-backoffice usr/bin/krt-backoffice usr/lib/krt/libkrt52410.so usr/lib/krt/libdotz_toolkit.so \
  usr/share/applications/krt-backoffice.desktop
expect dotz-export usr/bin/dotz-export usr/lib/krt/dotz-export usr/lib/systemd/system/dotz-export.service \
  usr/lib/systemd/system/dotz-export.timer

# Unpacked together, as installed: the programs answer without settings or a
# display, the host's module and toolkit resolve by RPATH, the units verify.
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
for f in "$dir"/packages/*.deb; do dpkg-deb -x "$f" "$root"; done
for program in krt-appserver krt-backoffice dotz-export; do
  for flag in --help --version; do
    env -u DISPLAY -u WAYLAND_DISPLAY "$root/usr/bin/$program" $flag >/dev/null ||
      fail "$program $flag failed"
  done
done
# The units name the programs where the packages put them.
for unit in krt-appserver.service dotz-export.service; do
  grep -q '^ExecStart=/usr/bin/' "$root/usr/lib/systemd/system/$unit" ||
    fail "$unit does not start a program of /usr/bin"
done
missing=$(ldd "$root/usr/bin/krt-backoffice" "$root/usr/lib/krt/libkrt52410.so" | grep 'not found' || true)
[ -z "$missing" ] || fail "the installed host cannot resolve: $missing"
if command -v systemd-analyze >/dev/null; then
  # Verified inside the unpacked tree, where ExecStart's programs are; the
  # system's own units (targets) are copied beside them.
  units=("$root"/usr/lib/systemd/system/*)
  cp -an /usr/lib/systemd/system/. "$root/usr/lib/systemd/system/"
  if ! out=$(systemd-analyze verify --root="$root" "${units[@]}" 2>&1) || [ -n "$out" ]; then
    fail "systemd-analyze verify: $out"
  fi
else
  echo "package.sh: systemd-analyze not found; the units are not verified" >&2
fi

[ "$failed" = 0 ] || exit 1
echo "packages in $dir/packages:"
ls "$dir/packages"
