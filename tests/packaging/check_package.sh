#!/usr/bin/env bash
# check_package.sh CPACK CPACK_CONFIG WORK VERSION SOURCE
# Makes the Debian package into WORK and checks what an operator installs: every file in its
# place and nothing else, the control fields, the dependencies that apt must pull in, and the
# programs starting from an unpacked copy.
set -euo pipefail
export QT_QPA_PLATFORM=offscreen
cpack=$1 config=$2 work=$3 version=$4 source=$5

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

rm -rf "$work"
mkdir -p "$work"
# gzip: the package's own xz takes longer and packs the same files.
"$cpack" -G DEB -B "$work" --config "$config" -D CPACK_DEBIAN_COMPRESSION_TYPE=gzip \
  >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log" >&2; echo "FAIL: cpack" >&2; exit 1; }

arch=$(dpkg --print-architecture)
deb="$work/terval_${version}_${arch}.deb"
[ -f "$deb" ] || { ls -l "$work" >&2; echo "FAIL: no $deb" >&2; exit 1; }

# Exactly these files, with these modes: nothing of the build, no headers or libraries.
expected="-rw-r--r-- ./etc/terval/terval-plant.ini
-rw-r--r-- ./lib/systemd/system/terval-plant.service
-rw-r--r-- ./lib/systemd/system/terval.service
-rwxr-xr-x ./usr/bin/relay-sim
-rwxr-xr-x ./usr/bin/terval
-rwxr-xr-x ./usr/bin/terval-desktop
-rwxr-xr-x ./usr/bin/terval-plant
-rwxr-xr-x ./usr/bin/terval-plant-passwd
-rw-r--r-- ./usr/share/applications/terval.desktop
-rw-r--r-- ./usr/share/doc/terval/README.md
-rw-r--r-- ./usr/share/doc/terval/changelog.gz
-rw-r--r-- ./usr/share/doc/terval/copyright
-rw-r--r-- ./usr/share/icons/hicolor/scalable/apps/terval.svg
-rw-r--r-- ./usr/share/man/man1/relay-sim.1.gz
-rw-r--r-- ./usr/share/man/man1/terval-desktop.1.gz
-rw-r--r-- ./usr/share/man/man1/terval-plant.1.gz
-rw-r--r-- ./usr/share/man/man1/terval-plant-passwd.1.gz
-rw-r--r-- ./usr/share/man/man1/terval.1.gz
-rw-r--r-- ./usr/share/terval/pictures/Bitmap1.bmp
-rw-r--r-- ./usr/share/terval/pictures/Bitmap2.bmp
-rw-r--r-- ./usr/share/terval/pictures/Bitmap3.bmp
-rw-r--r-- ./usr/share/terval/pictures/Bitmap4.bmp
-rw-r--r-- ./usr/share/terval/roles.sql"
contents=$(dpkg-deb -c "$deb")
files=$(awk '$1 !~ /^d/ {print $1, $6}' <<<"$contents" | sort -k2)
if [ "$files" != "$(sort -k2 <<<"$expected")" ]; then
  fail "the package's files differ from those expected:"
  diff <(sort -k2 <<<"$expected") - <<<"$files" >&2 || true
fi
if awk '{print $2}' <<<"$contents" | grep -v '^root/root$' >/dev/null; then
  fail "files not owned by root: $(awk '$2 != "root/root"' <<<"$contents")"
fi

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = terval ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture: $(field Architecture)"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
[ -n "$(field Section)" ] || fail "no Section"
grep -q 'оператора сети реле контроля изоляции' <<<"$(field Description)" || fail "Description: $(field Description)"
# What shlibdeps finds in the programs, and what Qt only loads at run time.
depends=$(field Depends)
for package in libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6 libqt6serialport6 \
  libqt6sql6 libqt6charts6 libqt6multimedia6 libmodbus5 libmosquitto1 libc6 libstdc\\+\\+6 \
  libqt6sql6-sqlite libqt6sql6-psql adduser qt6-qpa-plugins qt6-translations-l10n fonts-liberation fonts-dejavu-core; do
  grep -Eq "(^|, )$package( \\(|,|$)" <<<"$depends" || fail "Depends lacks $package: $depends"
done

root="$work/root"
dpkg-deb -x "$deb" "$root"
for i in 1 2 3 4; do
  cmp -s "$source/assets/Bitmap$i.bmp" "$root/usr/share/terval/pictures/Bitmap$i.bmp" ||
    fail "Bitmap$i.bmp differs from the drawing in assets/"
done

# The changelog's newest entry is this version, so that a new version cannot go out without one.
changelog_version=$(zcat "$root/usr/share/doc/terval/changelog.gz" | sed -n '1s/^terval (\([^)]*\)).*/\1/p')
[ "$changelog_version" = "$version" ] ||
  fail "the changelog's newest entry is for ${changelog_version:-nothing}, the package is $version"

# Every program in /usr/bin has its manual page, and each option a program's --help names is in
# it, so that a new option cannot go out undocumented.
for program in "$root"/usr/bin/*; do
  [ -f "$root/usr/share/man/man1/$(basename "$program").1.gz" ] ||
    fail "no manual page for $(basename "$program")"
done
options_of() { grep -o -- '--[a-z][a-z-]*' | sort -u; }
page_of() { zcat "$root/usr/share/man/man1/$1.1.gz" | sed 's/\\-/-/g'; }
for check in "terval:--help" "terval:--export-journal=x --help" "relay-sim:--help" \
  "terval-plant:--help"; do
  program=${check%%:*}
  read -r -a arguments <<<"${check#*:}"
  help=$("$root/usr/bin/$program" "${arguments[@]}" 2>&1) || true
  [ -n "$(options_of <<<"$help")" ] || fail "$program ${arguments[*]} names no option: $help"
  page=$(page_of "$program")
  for option in $(options_of <<<"$help"); do
    grep -qe "$option\b" <<<"$page" || fail "the manual page of $program lacks $option"
  done
done

# Debian's own check of the package, where it is installed: not an error or warning in it.
if command -v lintian >/dev/null; then
  lintian --fail-on error,warning "$deb" >"$work/lintian.out" 2>&1 ||
    fail "lintian: $(grep -v 'root privileges' "$work/lintian.out")"
fi

# The menu entry starts a program of the package, with the package's icon.
desktop="$root/usr/share/applications/terval.desktop"
entry() { sed -n "s/^$1=//p" "$desktop"; }
[ "$(entry Name)" = "ТЕРВАЛ" ] || fail "desktop Name: $(entry Name)"
[ "$(entry Terminal)" = false ] || fail "desktop Terminal: $(entry Terminal)"
[ -x "$root/usr/bin/$(entry Exec | cut -d' ' -f1)" ] || fail "desktop Exec: $(entry Exec)"
[ -f "$root/usr/share/icons/hicolor/scalable/apps/$(entry Icon).svg" ] ||
  fail "desktop Icon: $(entry Icon)"
# The unit starts the packaged station without windows, in its own state folder.
unit="$root/lib/systemd/system/terval.service"
read -r -a exec_start <<<"$(sed -n 's/^ExecStart=//p' "$unit")"
if [ ! -x "$root${exec_start[0]}" ] || [ "${exec_start[1]:-}" != --headless ]; then
  fail "unit ExecStart: ${exec_start[*]}"
fi
if ! grep -qx 'StateDirectory=terval' "$unit" || ! grep -qx 'WorkingDirectory=/var/lib/terval' "$unit"; then
  fail "the unit does not work in /var/lib/terval"
fi
! grep -Eq '^(PrivateDevices=yes|DeviceAllow=|ProtectClock=yes)' "$unit" ||
  fail "the unit closes the serial ports to the station"
grep -q '^WantedBy=' "$unit" || fail "the unit cannot be enabled"
# The historian's unit: its program, its own user (made by postinst), its spool's folder; its
# settings kept across upgrades.
plant_unit="$root/lib/systemd/system/terval-plant.service"
read -r -a exec_start <<<"$(sed -n 's/^ExecStart=//p' "$plant_unit")"
[ -x "$root${exec_start[0]}" ] || fail "terval-plant unit ExecStart: ${exec_start[*]}"
grep -qx 'User=terval-plant' "$plant_unit" && grep -qx 'StateDirectory=terval-plant' "$plant_unit" ||
  fail "the terval-plant unit has no user or state folder of its own"
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles | grep -qx /etc/terval/terval-plant.ini ||
  fail "/etc/terval/terval-plant.ini is not a conffile"
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./postinst | grep -q 'adduser --system' ||
  fail "postinst makes no user for terval-plant"
# A wrong setting is a clear message and exit code 2.
code=0
"$root/usr/bin/terval-plant" --db postgresql://u@h/d >"$work/plant.out" 2>&1 || code=$?
[ "$code" -eq 2 ] && grep -q 'не задан брокер MQTT' "$work/plant.out" ||
  fail "terval-plant without a broker: exit $code, $(cat "$work/plant.out")"

# The programs run from the unpacked copy, stripped and on the system's libraries.
"$root/usr/bin/relay-sim" --help >"$work/relay-sim.out" 2>&1 || fail "relay-sim --help: $(cat "$work/relay-sim.out")"
# The desktop entry's starter makes the operator's folder and starts the station in it.
home="$work/home"
mkdir -p "$home"
if HOME="$home" "$root/usr/bin/terval-desktop" --help >"$work/terval.out" 2>&1; then
  grep -q 'ТЕРВАЛ' "$work/terval.out" || fail "terval --help: $(cat "$work/terval.out")"
  [ -d "$home/terval" ] || fail "terval-desktop made no folder ~/terval"
else
  fail "terval-desktop --help: $(cat "$work/terval.out")"
fi
# A new working folder gets the package's pictures, found beside the program. The unpacked
# Bitmap1 is made to differ from the source tree's, which a station built here could also find.
pictures="$root/usr/share/terval/pictures"
cp "$pictures/Bitmap2.bmp" "$pictures/Bitmap1.bmp"
folder="$work/station"
mkdir -p "$folder"
(cd "$folder" && HOME="$home" exec "$root/usr/bin/terval" >"$work/station.out" 2>&1) &
station=$!
for _ in $(seq 100); do
  [ -f "$folder/Bitmap4.bmp" ] && break
  kill -0 "$station" 2>/dev/null || break
  sleep 0.1
done
kill "$station" 2>/dev/null || true
wait "$station" 2>/dev/null || true
for i in 1 2 3 4; do
  cmp -s "$pictures/Bitmap$i.bmp" "$folder/Bitmap$i.bmp" ||
    fail "a new working folder did not get the package's Bitmap$i.bmp: $(cat "$work/station.out")"
done
if grep -q '\.debug_info' < <(readelf -S "$root/usr/bin/terval"); then
  fail "terval still carries its debugging information"
fi

if [ "$failures" -ne 0 ]; then
  exit 1
fi
echo "$(basename "$deb"): $(stat -c %s "$deb") bytes, Depends: $depends"
