#!/usr/bin/env bash
# check-install.sh BUILD_DIR WITH_GUI(ON|OFF) IMAGE, IMAGE a fixture the installed dravik reads; what it checks: the
# install_layout test in tests/CMakeLists.txt.
set -euo pipefail

build=$1
with_gui=$2
image=$3

prefix=$(mktemp -d "${TMPDIR:-/tmp}/dravik-install.XXXXXX")
trap 'rm -rf "$prefix"' EXIT

failures=0
fail() { echo "check-install: $*" >&2; failures=$((failures + 1)); }

cmake --install "$build" --prefix "$prefix" >/dev/null

expected=(bin/dravik share/dravik/Raw.dat)
if [ "$with_gui" = ON ]; then
  expected+=(bin/dravik-vhd
             share/applications/dravik-vhd.desktop
             share/icons/hicolor/scalable/apps/dravik-vhd.svg
             share/mime/packages/dravik-vhd.xml)
fi
# Those files and nothing else.
installed=$(cd "$prefix" && find . -type f -printf '%P\n' | sort)
[ "$installed" = "$(printf '%s\n' "${expected[@]}" | sort)" ] || fail "installed: $installed; expected: ${expected[*]}"
for program in bin/dravik bin/dravik-vhd; do
  [ -f "$prefix/$program" ] && { [ -x "$prefix/$program" ] || fail "$program is not executable"; }
done

# The installed command, run from the prefix (not from the build folder, whose Raw.dat lies beside the built programs).
dravik=$prefix/bin/dravik
"$dravik" --help >/dev/null || fail "dravik --help failed"
types=$(cd / && "$dravik" types) || fail "dravik types did not find the catalogue in $prefix/share/dravik"
# The same catalogue as the built dravik reads beside itself.
[ -n "$types" ] && [ "$types" = "$("$build/dravik" types)" ] || fail "the installed dravik lists other types than the built one"
# A copy of the prefix elsewhere still finds its own catalogue.
moved=$prefix/moved
mkdir "$moved"
cp -r "$prefix/bin" "$prefix/share" "$moved/"
rm "$prefix/share/dravik/Raw.dat"
"$moved/bin/dravik" types >/dev/null || fail "a moved installation does not find its catalogue"
if "$dravik" types >/dev/null 2>&1; then fail "dravik types went on without its catalogue"; fi
info=$("$dravik" info --json "$image") || fail "dravik info on $image failed"
printf '%s' "$info" | grep -q '"virtualSize"' || fail "dravik info printed no virtual size: $info"

if [ "$with_gui" = ON ]; then
  desktop=$prefix/share/applications/dravik-vhd.desktop
  mime=$prefix/share/mime/packages/dravik-vhd.xml
  if command -v desktop-file-validate >/dev/null; then
    # Its hints count too (two main categories put the program twice into menus).
    said=$(desktop-file-validate "$desktop" 2>&1) || fail "desktop-file-validate refuses dravik-vhd.desktop: $said"
    [ -z "$said" ] || fail "desktop-file-validate remarks on dravik-vhd.desktop: $said"
  else
    echo "check-install: desktop-file-validate is not installed; the desktop file is not validated" >&2
  fi
  grep -qx 'Exec=dravik-vhd %f' "$desktop" || fail "the desktop file does not start dravik-vhd"
  if command -v xmllint >/dev/null; then
    xmllint --noout "$mime" || fail "xmllint refuses dravik-vhd.xml"
  else
    echo "check-install: xmllint is not installed; the MIME file is not checked" >&2
  fi
  if command -v update-mime-database >/dev/null; then
    # The database built from the installed file alone maps the globs to the types the desktop file names. (With the
    # prefix among the data folders, so that it does not remark on one it would not search: anything it says is about
    # the file.)
    XDG_DATA_DIRS="$prefix/share:${XDG_DATA_DIRS:-/usr/local/share:/usr/share}" \
      update-mime-database "$prefix/share/mime" 2>"$prefix/mime.log" || fail "update-mime-database failed: $(cat "$prefix/mime.log")"
    [ ! -s "$prefix/mime.log" ] || fail "update-mime-database complained: $(cat "$prefix/mime.log")"
    for pair in 'application/x-dravik-snapshot:*.dvsf' 'application/x-vhd-disk:*.vhd' 'application/x-vhd-disk:*.avhd' \
                'application/x-vhdx-disk:*.vhdx' 'application/x-vhdx-disk:*.avhdx'; do
      cut -d: -f2- "$prefix/share/mime/globs2" | grep -qxF "$pair" || fail "the MIME database has no glob ${pair#*:} for ${pair%%:*}"
      grep -q "MimeType=.*${pair%%:*};" "$desktop" || fail "the desktop file does not name ${pair%%:*}"
    done
  else
    echo "check-install: update-mime-database is not installed; the MIME types are not checked" >&2
  fi
fi

if [ $failures -gt 0 ]; then
  echo "check-install: $failures problems" >&2
  exit 1
fi
echo "check-install: every file in place in $prefix, the installed dravik finds its catalogue"
