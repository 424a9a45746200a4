#!/usr/bin/env bash
# Checks what a user installs: the desktop entry, the AppStream metainfo, the manual pages, the
# Debian package, and the programs running from a DESTDIR install.
#   scripts/package-check.sh BUILD_DIR DEB
# Needs desktop-file-utils, appstream, man-db, lintian, dpkg-dev (scripts/setup.sh package-check
# installs them).
set -euo pipefail
cd "$(dirname "$0")/.."
build=$1
deb=$2

failures=0
passes=0
check() { # check NAME COMMAND...: runs COMMAND, reports and counts its failure
  local name=$1
  shift
  echo "== $name"
  if "$@"; then
    echo "ok: $name"
    passes=$((passes + 1))
  else
    echo "FAILED: $name"
    failures=$((failures + 1))
  fi
}

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
DESTDIR=$stage/destdir cmake --install "$build" --prefix /usr >/dev/null
root=$stage/destdir

manual_pages_clean() {
  local page out=0 warnings
  for page in "$root"/usr/share/man/man1/*.1.gz; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    if [ -n "$warnings" ]; then
      echo "$page: $warnings"
      out=1
    fi
  done
  return $out
}

installed_files_match_package() {
  # What cmake --install puts down is what the package holds (files and links, no folders).
  diff <(cd "$root" && find . ! -type d | sort) \
    <(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sort)
}

desktop_files_in_place() {
  local f missing=0
  for f in usr/bin/vellumix usr/bin/vellumix-cli \
    usr/share/applications/org.vellumix.Vellumix.desktop \
    usr/share/metainfo/org.vellumix.Vellumix.metainfo.xml \
    usr/share/icons/hicolor/16x16/apps/vellumix.png \
    usr/share/icons/hicolor/32x32/apps/vellumix.png \
    usr/share/icons/hicolor/48x48/apps/vellumix.png \
    usr/share/icons/hicolor/scalable/apps/vellumix.svg \
    usr/share/man/man1/vellumix.1.gz usr/share/man/man1/vellumix-cli.1.gz \
    usr/share/bash-completion/completions/vellumix-cli \
    usr/share/doc/vellumix/copyright usr/share/doc/vellumix/changelog.gz \
    usr/share/doc/vellumix/drivers.md.gz; do
    [ -e "$root/$f" ] || {
      echo "missing: /$f"
      missing=1
    }
  done
  # Each installed program has its manual page.
  local program
  for program in "$root"/usr/bin/*; do
    [ -e "$root/usr/share/man/man1/$(basename "$program").1.gz" ] || {
      echo "$(basename "$program") has no manual page"
      missing=1
    }
  done
  # Each program that the desktop entry starts is installed.
  for program in $(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$root"/usr/share/applications/*.desktop | sort -u); do
    [ -x "$root/usr/bin/$program" ] || {
      echo "the desktop entry starts $program, which is not installed"
      missing=1
    }
  done
  return $missing
}

cli_runs_from_install() {
  local cli=$root/usr/bin/vellumix-cli version
  version=$(VELLUMIX_BUS= "$cli" --version)
  echo "$version"
  [ "$version" = "vellumix-cli $(dpkg-deb -f "$deb" Version)" ] || return 1
  (cd "$stage" && VELLUMIX_BUS= "$cli" --bus sim capture --format PNG -o x.png)
  # A PNG file begins with these eight bytes.
  [ "$(head -c 8 "$stage/x.png" | od -An -tx1 | tr -d ' \n')" = "89504e470d0a1a0a" ]
}

gui_starts_from_install() {
  # Still running after five seconds on the simulated scope: it found the scope and shows its window.
  # Any earlier end is a failed start (a missing library or plugin, a fatal message, a crash).
  local status=0
  (cd "$stage" && HOME=$stage XDG_CONFIG_HOME=$stage/config XDG_DATA_HOME=$stage/data VELLUMIX_BUS= \
    QT_QPA_PLATFORM=offscreen timeout 5 "$root/usr/bin/vellumix" --bus sim) || status=$?
  [ "$status" -eq 124 ] || {
    echo "vellumix ended with status $status"
    return 1
  }
}

package_dependencies_installable() {
  dpkg-deb -f "$deb" Depends Recommends
  # apt needs its package lists to answer; a fresh image may have none yet.
  if ! ls /var/lib/apt/lists/*Packages >/dev/null 2>&1; then
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -q >/dev/null
  fi
  apt-get install --simulate -q "./$deb" >/dev/null
}

check "desktop-file-validate" desktop-file-validate "$root"/usr/share/applications/*.desktop
check "appstreamcli validate" appstreamcli validate --no-net "$root"/usr/share/metainfo/*.metainfo.xml
check "manual pages render without warnings" manual_pages_clean
check "installed files in place" desktop_files_in_place
check "cmake --install and the package hold the same files" installed_files_match_package
check "vellumix-cli runs from a DESTDIR install" cli_runs_from_install
check "vellumix starts from a DESTDIR install" gui_starts_from_install
check "lintian reports no errors" lintian --fail-on error --tag-display-limit 0 "$deb"
check "the package's dependencies can be installed" package_dependencies_installable

echo "package-check: $passes passed, $failures failed"
[ "$failures" -eq 0 ]
