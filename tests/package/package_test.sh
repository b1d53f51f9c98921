#!/usr/bin/env bash
# Builds the Debian package from this build tree into a scratch directory and checks it without installing it:
# its metadata and contents, the service units (verified, and confined: exposure at most 2.3), the log rotation,
# the desktop entries, and lintian (no errors).
# Usage: package_test.sh <build-dir>
set -euo pipefail
build="$1"
scratch=$(mktemp -d "${TMPDIR:-/tmp}/drvorvel-package.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$scratch" >"$scratch/cpack.log" 2>&1) || { cat "$scratch/cpack.log" >&2; fail "cpack"; }
arch=$(dpkg --print-architecture)
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
deb="$scratch/drvorvel_${version}_${arch}.deb"
[ -f "$deb" ] || fail "no $deb among: $(ls "$scratch")"

info=$(dpkg-deb --info "$deb")
for field in "Package: drvorvel" "Version: $version" "Architecture: $arch"; do
  grep -qx " $field" <<<"$info" || fail "control lacks '$field'"
done
maintainer=$(dpkg-deb --field "$deb" Maintainer)
grep -Eq '^[^<>]+ <[a-z0-9.-]+@[a-z0-9-]+\.[a-z]+>$' <<<"$maintainer" && ! grep -Eq 'example\.|localhost|invalid' <<<"$maintainer" \
  || fail "no real maintainer address: $maintainer"
depends=$(dpkg-deb --field "$deb" Depends)
for dep in adduser libqt6widgets6 libqt6core6 libsystemd0 libc6; do
  grep -q "\b$dep\b" <<<"$depends" || fail "Depends lacks $dep: $depends"
done
control=$(dpkg-deb --ctrl-tarfile "$deb" | tar -t)
for script in postinst prerm postrm conffiles; do
  grep -qx "./$script" <<<"$control" || fail "no $script"
done

contents=$(dpkg-deb --contents "$deb" | awk '{print $NF}')
for path in ./usr/bin/drvorvel ./usr/bin/drv-stationsim ./usr/bin/drv-z8serversim \
            ./lib/systemd/system/drvorvel.service ./lib/systemd/system/drvorvel@.service \
            ./etc/logrotate.d/drvorvel ./usr/share/applications/drvorvel.desktop \
            ./usr/share/icons/hicolor/scalable/apps/drvorvel.svg ./usr/share/drvorvel/drvorvel-autostart.desktop \
            ./usr/share/drvorvel/drvorvel.ini.example ./usr/share/drvorvel/drvorvel-alerts.yml ./var/lib/drvorvel/ ./usr/share/doc/drvorvel/copyright \
            ./usr/share/doc/drvorvel/changelog.gz ./usr/share/doc/drvorvel/README.md ./usr/bin/drvorvel-spool; do
  grep -qx "$path" <<<"$contents" || fail "the package lacks $path"
done
# Every program of the tools folder is there under its own name.
for tool in "$build"/tools/drv-*; do
  [ -x "$tool" ] && { grep -qx "./usr/bin/$(basename "$tool")" <<<"$contents" || fail "no $(basename "$tool")"; }
done

root="$scratch/root"
dpkg-deb --extract "$deb" "$root"
# A manual page for every program, and a README that points at nothing the package does not install.
for prog in "$root"/usr/bin/*; do
  page="$root/usr/share/man/man1/$(basename "$prog").1.gz"
  [ -f "$page" ] || fail "no manual page for $(basename "$prog")"
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l -Tutf8 "$page" 2>&1 >/dev/null) || fail "man $page"
  [ -z "$warnings" ] || fail "man warns on $(basename "$page"): $warnings"
done
readme="$root/usr/share/doc/drvorvel/README.md"
grep -q "purge" "$readme" && grep -q "drvorvel.ini.example" "$readme" || fail "the README lacks purge or the example ini"
! grep -nE "scripts/|build/|docs/" "$readme" || fail "the packaged README points outside the package"
# Both units, the template as the instance "north": verified as installed, with their programs taken from the
# extracted tree (nothing is installed on this machine), and confined about as well as the system's own network
# time client (exposure 2.3): at most 2.4, the 0.2 that seeing the other processes' descriptors costs (the check of
# who holds the station's device needs it) included.
mkdir -p "$scratch/unit"
units=()
for name in drvorvel.service drvorvel@north.service; do
  unit="$root/lib/systemd/system/${name/@north/@}"
  dir=/var/lib/drvorvel; [ "$name" = drvorvel.service ] || dir=/var/lib/drvorvel/%i
  for line in "Type=notify" "ExecStart=/usr/bin/drvorvel --headless" "WorkingDirectory=$dir" "User=drvorvel" \
              "SupplementaryGroups=dialout" "Restart=on-failure" "AmbientCapabilities=CAP_SYS_TIME"; do
    grep -qx "$line" "$unit" || fail "$name lacks $line"
  done
  grep -q "^WatchdogSec=[1-9]" "$unit" || fail "$name has no watchdog"
  sed "s|/usr/bin/|$root/usr/bin/|g" "$unit" >"$scratch/unit/$name"
  units+=("$scratch/unit/$name")
done
verify=$(systemd-analyze verify --man=no "${units[@]}" 2>&1) || { echo "$verify" >&2; fail "systemd-analyze verify"; }
[ -z "$verify" ] || { echo "$verify" >&2; fail "systemd-analyze verify said something"; }
security=$(systemd-analyze security --offline=yes --threshold=24 "${units[@]}" 2>&1) \
  || { echo "$security" >&2; fail "exposure above 2.4"; }
grep "Overall exposure" <<<"$security"

# The log rotation as logrotate reads it (run as the service user; where that user does not exist, as root).
rotate="$scratch/logrotate.conf"
cp "$root/etc/logrotate.d/drvorvel" "$rotate"
getent passwd drvorvel >/dev/null || sed -i 's/^\( *su \).*/\1root root/' "$rotate"
logrotate --debug --state "$scratch/logrotate.state" "$rotate" >"$scratch/logrotate.log" 2>&1 \
  || { cat "$scratch/logrotate.log" >&2; fail "logrotate --debug"; }
if grep -q "^error:" "$scratch/logrotate.log"; then cat "$scratch/logrotate.log" >&2; fail "logrotate reports an error"; fi
desktop-file-validate "$root/usr/share/applications/drvorvel.desktop" "$root/usr/share/drvorvel/drvorvel-autostart.desktop" \
  || fail "desktop-file-validate"

lint=$(lintian --no-tag-display-limit "$deb" 2>&1 || true)
echo "$lint"
if grep -q "^E:" <<<"$lint"; then fail "lintian reports errors"; fi
if grep -q "no-manual-page" <<<"$lint"; then fail "lintian misses a manual page"; fi
echo "package ok: $(basename "$deb")"
