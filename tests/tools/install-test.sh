#!/usr/bin/env bash
# Installs the build into staging folders (no root needed) and checks what lands where:
# exactly the programs, desktop file, icons, man pages, guide and systemd user unit; that
# the desktop file validates and names what is installed; that the unit starts the
# installed program and does not restart when another quorvane holds the store; that the
# icons are well-formed SVG; and that the installed programs run.
# Usage: install-test.sh BUILD_DIR VERSION
set -uo pipefail
build=$1
version=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
check() {
  local what=$1
  shift
  if ! "$@"; then
    echo "FAILED: $what" >&2
    failures=$((failures + 1))
  fi
}

stage=$work/stage
DESTDIR=$stage cmake --install "$build" --prefix /usr >"$work/install.log" 2>&1 || {
  cat "$work/install.log" >&2
  echo "FAILED: cmake --install" >&2
  exit 1
}

# The whole list, so that a test program, a benchmark or a library that starts being
# installed is noticed. The guide is C's folder of pages: only its index is required.
(cd "$stage" && find . -type f | sed 's|^\./|/|' | grep -v '^/usr/share/quorvane/guide/' | sort) >"$work/files"
cat >"$work/expected" <<'EOF'
/usr/bin/quorvane
/usr/bin/quorvane-reg
/usr/lib/systemd/user/quorvane.service
/usr/share/applications/quorvane.desktop
/usr/share/icons/hicolor/scalable/apps/quorvane-error.svg
/usr/share/icons/hicolor/scalable/apps/quorvane-mail.svg
/usr/share/icons/hicolor/scalable/apps/quorvane-news.svg
/usr/share/icons/hicolor/scalable/apps/quorvane-web.svg
/usr/share/icons/hicolor/scalable/apps/quorvane.svg
/usr/share/man/man1/quorvane-reg.1
/usr/share/man/man1/quorvane.1
EOF
check "installed files (< expected, > installed)" diff "$work/expected" "$work/files"
check "guide index" test -s "$stage/usr/share/quorvane/guide/index.html"

for p in quorvane quorvane-reg; do
  check "$p is executable" test -x "$stage/usr/bin/$p"
done
out=$("$stage/usr/bin/quorvane" --version 2>&1)
check "installed quorvane --version says '$out'" test "$out" = "quorvane $version"
# quorvane-reg runs from where it was installed, on a store in a private folder.
mkdir -m 700 "$work/home"
reg() { "$stage/usr/bin/quorvane-reg" --registry "$work/home/reg.db" "$@"; }
key='HKLM\SOFTWARE\Halvorn\Quorvane\CurrentVersion'
check "installed quorvane-reg set" reg set "$key" SmtpServer REG_SZ mail.example.test
out=$(reg query "$key" SmtpServer 2>&1)
check "installed quorvane-reg query printed: $out" grep -q 'mail\.example\.test' <<<"$out"

desktop=$stage/usr/share/applications/quorvane.desktop
if command -v desktop-file-validate >/dev/null; then
  check "desktop-file-validate" desktop-file-validate "$desktop"
else
  echo "FAILED: desktop-file-validate is missing (scripts/setup installs desktop-file-utils)" >&2
  failures=$((failures + 1))
fi
field() { sed -n "s/^$1=//p" "$desktop"; }
exec_line=$(field Exec)
check "desktop Exec '$exec_line' names an installed program" test -x "$stage/usr/bin/${exec_line%% *}"
check "desktop Icon names the installed icon" test -f "$stage/usr/share/icons/hicolor/scalable/apps/$(field Icon).svg"
check "desktop entry does not start hidden" test "${exec_line/--hidden/}" = "$exec_line"

for svg in "$stage"/usr/share/icons/hicolor/scalable/apps/*.svg; do
  check "$(basename "$svg") is well-formed SVG" python3 - "$svg" <<'EOF'
import sys, xml.etree.ElementTree as ET
root = ET.parse(sys.argv[1]).getroot()
sys.exit(0 if root.tag == "{http://www.w3.org/2000/svg}svg" and root.get("viewBox") else 1)
EOF
done

unit=$stage/usr/lib/systemd/user/quorvane.service
check "unit starts the installed program headless" grep -qx 'ExecStart=/usr/bin/quorvane --headless' "$unit"
check "unit restarts on failure" grep -qx 'Restart=on-failure' "$unit"
prevent=$(sed -n 's/^RestartPreventExitStatus=//p' "$unit")
for code in 2 3 4; do
  check "unit does not restart after exit $code ($prevent)" grep -qw "$code" <<<"$prevent"
done
check "unit is wanted by the session" grep -qx 'WantedBy=default.target' "$unit"
check "unit has no placeholder left" bash -c "! grep -q @ '$unit'"

# Another prefix: the unit follows it rather than the one of the configure step.
DESTDIR=$work/opt cmake --install "$build" --prefix /opt/qv >/dev/null 2>&1
check "unit follows --prefix" grep -qx 'ExecStart=/opt/qv/bin/quorvane --headless' \
  "$work/opt/opt/qv/lib/systemd/user/quorvane.service"

# The pages render without troff warnings.
if command -v man >/dev/null; then
  for page in quorvane.1 quorvane-reg.1; do
    warnings=$(MANWIDTH=80 man --warnings -l "$stage/usr/share/man/man1/$page" 2>&1 >/dev/null)
    check "$page renders without warnings: $warnings" test -z "$warnings"
  done
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "install: all checks passed"
