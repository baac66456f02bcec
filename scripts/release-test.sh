#!/usr/bin/env bash
# Install tests of the release in dist/: the Windows zip and installer under Wine (private
# prefixes, a private X display), the Debian package on this machine (dpkg -i, then removed
# again). Each row of the table below is one check; all run, each says PASS or FAIL, and the
# script fails when one did.
#
#   bash scripts/release-test.sh             runs scripts/release.sh first, then the checks
#   bash scripts/release-test.sh --no-build  checks what dist/ holds
#
# Needs root or sudo (dpkg). Refuses to touch an ombrelo package installed before it ran.
# Screenshots of the windows are kept in build/release-test/. OMBRELO_DIST overrides dist/.
set -uo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
root="${OMBRELO_BUILD_ROOT:-$here/build}"
dist="${OMBRELO_DIST:-$here/dist}"
out="$root/release-test"

bash "$here/scripts/deps.sh" wine wine64 fonts-wine xvfb xauth x11-utils imagemagick unzip lintian \
  man-db procps binutils-mingw-w64-x86-64 || exit 1
export HOME="${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}"
if [ "${1:-}" != "--no-build" ]; then
  bash "$here/scripts/release.sh" || exit 1
fi
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo

[ -f "$dist/SHA256SUMS" ] || { echo "release-test: no release in $dist: run scripts/release.sh" >&2; exit 1; }
version=$(sed -n 's/^[0-9a-f]*  ombrelo_\(.*\)_amd64\.deb$/\1/p' "$dist/SHA256SUMS")
zip="$dist/Ombrelo-$version-win64.zip"
setup="$dist/Ombrelo-$version-win64-setup.exe"
deb="$dist/ombrelo_${version}_amd64.deb"
for f in "$zip" "$setup" "$deb" "$dist/SHA256SUMS"; do
  [ -f "$f" ] || { echo "release-test: $f is missing: run scripts/release.sh" >&2; exit 1; }
done
copyright=$(grep -m1 '^Copyright ' "$here/LICENSE")

# The shared end-to-end pieces: a private display, private copies of the project's prepared Wine
# prefix, simulated testers on pseudo-terminals, and their cleanup.
# shellcheck source=tests/e2e/e2e_lib.sh source-path=SCRIPTDIR/..
. "$here/tests/e2e/e2e_lib.sh"
# shellcheck disable=SC2034  # read by e2e_lib.sh: where a failure's screenshot goes
e2e_out=$out
mkdir -p "$out"
t_init release-test
installed_here=0
release_cleanup() {
  WINEPREFIX="$t_work/setup-prefix" wineserver -k 2>/dev/null
  if [ "$installed_here" = 1 ]; then $SUDO dpkg --purge ombrelo >/dev/null 2>&1; fi
}
t_hooks+=(release_cleanup e2e_on_exit)

e2e_start_xvfb
e2e_make_prefix
# No menu entries or icons of the shortcut in this machine's home.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
cp -a "$WINEPREFIX" "$t_work/setup-prefix"
zip_prefix=$WINEPREFIX
setup_prefix="$t_work/setup-prefix"
unpacked="$t_work/zip"
mkdir -p "$unpacked" "$t_work/deb"
unzip -q "$zip" -d "$unpacked"
# The simulator comes from the package: the one the user gets.
dpkg-deb -x "$deb" "$t_work/deb"
E2E_SIM="$t_work/deb/usr/bin/ombrelo-sim"
e2e_start_sim COM3 --on

program_files="$setup_prefix/drive_c/Program Files/Ombrelo"
shortcut="$setup_prefix/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Ombrelo.lnk"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Ombrelo'
installed_files="LICENSE.txt Ombrelo.exe README.txt THIRD-PARTY-NOTICES.txt Uninstall.exe ombrelo-console.exe ombrelo-plot.exe"

say() { printf '    %s\n' "$@"; }

# Starts a Windows program in a prefix, waits (bounded) until its top-level window "Ombrelo" is
# mapped and painted (its picture holds more than the few colours of an empty frame), keeps a
# screenshot, and ends the program again.
shows_window() { # prefix exe screenshot
  local id="" colours=0 pid
  WINEPREFIX="$1" wine "$2" </dev/null >"$t_work/window.log" 2>&1 &
  pid=$!
  for _ in $(seq 600); do
    if [ -z "$id" ] && xwininfo -name Ombrelo 2>/dev/null | grep -q "Map State: IsViewable"; then
      id=$(xwininfo -name Ombrelo | sed -n 's/^xwininfo: Window id: \(0x[0-9a-f]*\).*/\1/p')
    fi
    if [ -n "$id" ]; then
      colours=$(import -window "$id" png:- 2>/dev/null | convert - -format %k info: 2>/dev/null || echo 0)
      [ "${colours:-0}" -gt 16 ] && break
    fi
    sleep 0.1
  done
  [ "${colours:-0}" -gt 16 ] && import -window root "$3" 2>/dev/null && say "$colours colours in the window; screenshot: $3"
  WINEPREFIX="$1" wineserver -k 2>/dev/null
  wait "$pid" 2>/dev/null
  [ -n "$id" ] || { say "no window \"Ombrelo\" was mapped within 60 s"; return 1; }
  [ "${colours:-0}" -gt 16 ] || { say "the window \"Ombrelo\" was mapped but not painted within 60 s"; return 1; }
}

check_sums() { (cd "$dist" && sha256sum -c --strict SHA256SUMS); }

check_zip_listing() {
  local expected listed
  expected=$(printf '%s\n' LICENSE.txt Ombrelo.exe README.txt THIRD-PARTY-NOTICES.txt ombrelo-console.exe ombrelo-plot.exe)
  listed=$(zipinfo -1 "$zip")
  [ "$listed" = "$expected" ] || { say "the zip holds: $(echo $listed)"; return 1; }
}

check_zip_texts() {
  local f
  for f in README.txt LICENSE.txt THIRD-PARTY-NOTICES.txt; do
    # Every line ends with CR LF.
    if grep -q $'[^\r]$\|^$' "$unpacked/$f"; then say "$f has lines without CR LF"; return 1; fi
  done
  grep -q "Ombrelo $version for Windows" "$unpacked/README.txt" || { say "README.txt does not name $version"; return 1; }
  grep -q "^$copyright"$'\r$' "$unpacked/LICENSE.txt" || { say "LICENSE.txt lacks \"$copyright\""; return 1; }
  local marker
  for marker in "GCC RUNTIME LIBRARY EXCEPTION" "mingw-w64-libraries/winpthreads" "Upstream-Name: mingw-w64" \
      "libstdc++-v3" "GNU GENERAL PUBLIC LICENSE"; do
    grep -qF "$marker" "$unpacked/THIRD-PARTY-NOTICES.txt" || { say "the notices lack \"$marker\""; return 1; }
  done
}

# A link time in a PE header would make every build differ.
check_zip_no_link_time() {
  local exe stamp
  for exe in "$unpacked"/*.exe; do
    stamp=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^Time\/Date[[:space:]]*//p')
    [ "$stamp" = "Thu Jan  1 00:00:00 1970" ] || { say "${exe##*/} carries the time $stamp"; return 1; }
  done
}

check_zip_versions() {
  local exe line
  for exe in ombrelo-console ombrelo-plot; do
    line=$(WINEPREFIX=$zip_prefix timeout 60 wine "$unpacked/$exe.exe" --version 2>/dev/null | head -n1 | tr -d '\r')
    [ "$line" = "$exe (Ombrelo) $version" ] || { say "$exe.exe --version: \"$line\""; return 1; }
  done
}

check_zip_console_once() {
  local status=0
  WINEPREFIX=$zip_prefix timeout 60 wine "$unpacked/ombrelo-console.exe" --once COM3 >"$t_work/once.txt" 2>&1 || status=$?
  grep -q "^Tester on COM3" "$t_work/once.txt" && grep -q "^5V " "$t_work/once.txt" && [ "$status" = 0 ] || {
    say "exit $status:"; sed 's/^/      /' "$t_work/once.txt" | head -n 20; return 1; }
}

# A bare name lands in the current folder and its full path is printed; an existing file is kept
# unless --force is given, and that is found before the tester is touched (exit 2).
check_zip_console_files() {
  local dir="$t_work/console-files" status=0
  mkdir -p "$dir"
  (cd "$dir" && WINEPREFIX=$zip_prefix timeout 60 wine "$unpacked/ombrelo-console.exe" --test --settle 1 \
    --report psu.txt COM3) >/dev/null 2>"$t_work/files.txt" || status=$?
  grep -q '^ombrelo-console: test report written to [A-Z]:\\.*\\console-files\\psu\.txt' "$t_work/files.txt" &&
    [ "$status" = 0 ] || { say "first run, exit $status:"; sed 's/^/      /' "$t_work/files.txt"; return 1; }
  cp "$dir/psu.txt" "$t_work/psu.first"
  status=0
  (cd "$dir" && WINEPREFIX=$zip_prefix timeout 60 wine "$unpacked/ombrelo-console.exe" --test --settle 1 \
    --report psu.txt COM3) >/dev/null 2>"$t_work/files.txt" || status=$?
  grep -q 'psu\.txt exists (give --force to replace it)' "$t_work/files.txt" && [ "$status" = 2 ] &&
    cmp -s "$dir/psu.txt" "$t_work/psu.first" || {
    say "second run, exit $status:"; sed 's/^/      /' "$t_work/files.txt"; return 1; }
}

check_zip_window() { shows_window "$zip_prefix" "$unpacked/Ombrelo.exe" "$out/zip-window.png"; }

check_setup_install() {
  local f status=0
  WINEPREFIX=$setup_prefix timeout 120 wine "$setup" /S || status=$?
  WINEPREFIX=$setup_prefix timeout 60 wineserver -w
  [ "$status" = 0 ] || { say "the installer ended with $status"; return 1; }
  for f in $installed_files; do
    [ -f "$program_files/$f" ] || { say "missing: Program Files/Ombrelo/$f"; return 1; }
  done
  cmp -s "$program_files/Ombrelo.exe" "$unpacked/Ombrelo.exe" || { say "the installed Ombrelo.exe is not the zip's"; return 1; }
  [ -f "$shortcut" ] || { say "no Start-menu shortcut"; return 1; }
  local key
  key=$(WINEPREFIX=$setup_prefix wine reg query "$uninstall_key" /reg:64 2>/dev/null | tr -d '\r')
  local value
  for value in "DisplayName    REG_SZ    Ombrelo" "DisplayVersion    REG_SZ    $version" \
      "Publisher    REG_SZ    Zentarix" "DisplayIcon    REG_SZ    C:\\Program Files\\Ombrelo\\Ombrelo.exe,0" \
      "UninstallString    REG_SZ    \"C:\\Program Files\\Ombrelo\\Uninstall.exe\""; do
    grep -qF "$value" <<<"$key" || { say "the uninstall key lacks: $value"; say "$key"; return 1; }
  done
}

check_setup_window() { shows_window "$setup_prefix" "$program_files/Ombrelo.exe" "$out/installed-window.png"; }

check_setup_uninstall() {
  [ -f "$program_files/Uninstall.exe" ] || { say "nothing installed to remove"; return 1; }
  # The uninstaller runs from a copy of itself: wait for the prefix's processes to end.
  WINEPREFIX=$setup_prefix timeout 60 wine "$program_files/Uninstall.exe" /S
  WINEPREFIX=$setup_prefix timeout 60 wineserver -w
  [ ! -e "$program_files" ] || { say "left behind:" "$(ls -A "$program_files")"; return 1; }
  [ ! -e "$shortcut" ] || { say "the shortcut is still there"; return 1; }
  if WINEPREFIX=$setup_prefix wine reg query "$uninstall_key" /reg:64 >/dev/null 2>&1; then
    say "the uninstall key is still there"; return 1
  fi
}

check_deb_lintian() {
  local status=0
  lintian --fail-on error --tag-display-limit 0 "$deb" >"$t_work/lintian.txt" 2>&1 || status=$?
  grep -v '^running with root privileges' "$t_work/lintian.txt" | while read -r line; do say "$line"; done
  [ "$status" = 0 ]
}

check_deb_depends() {
  local depends
  depends=$(dpkg-deb -f "$deb" Depends)
  say "Depends: $depends"
  grep -q "libc6 (>= " <<<"$depends" && grep -q "libstdc++6 (>= " <<<"$depends"
}

check_deb_install() {
  if dpkg-query -W -f='${Status}' ombrelo 2>/dev/null | grep -q "installed"; then
    say "an ombrelo package is installed here already: remove it first"; return 1
  fi
  installed_here=1
  $SUDO dpkg -i "$deb" >"$t_work/dpkg.log" 2>&1 || { sed 's/^/      /' "$t_work/dpkg.log"; return 1; }
  dpkg-query -W -f='${Status}' ombrelo | grep -q "install ok installed"
}

check_deb_versions() {
  local program line
  for program in ombrelo-console ombrelo-plot ombrelo-sim; do
    line=$(/usr/bin/$program --version | head -n1)
    [ "$line" = "$program (Ombrelo) $version" ] || { say "$program --version: \"$line\""; return 1; }
  done
}

check_deb_manuals() {
  local program page warnings
  for program in ombrelo-console ombrelo-plot ombrelo-sim; do
    page=/usr/share/man/man1/$program.1.gz
    warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >"$t_work/man.txt") || { say "man -l $page failed"; return 1; }
    [ -z "$warnings" ] || { say "$page:" "$warnings"; return 1; }
    grep -q "^NAME" "$t_work/man.txt" && grep -q "^ *$program - " "$t_work/man.txt" ||
      { say "$page renders without its NAME section"; return 1; }
  done
}

check_deb_rule() { cmp "$here/udev/70-ombrelo-tester.rules" /usr/lib/udev/rules.d/70-ombrelo-tester.rules; }

check_deb_console_once() {
  E2E_SIM=/usr/bin/ombrelo-sim
  e2e_start_sim COM4 --on >/dev/null
  local status=0
  timeout 30 /usr/bin/ombrelo-console --once "${e2e_sim_pts[COM4]}" >"$t_work/deb-once.txt" 2>&1 || status=$?
  grep -q "^Tester on /dev/pts/" "$t_work/deb-once.txt" && grep -q "^5V " "$t_work/deb-once.txt" && [ "$status" = 0 ] || {
    say "exit $status:"; sed 's/^/      /' "$t_work/deb-once.txt" | head -n 20; return 1; }
}

check_deb_remove() {
  local files conffiles left=""
  files=$(dpkg-query -L ombrelo | while read -r f; do [ -f "$f" ] && echo "$f"; done)
  conffiles=$(dpkg-query -W -f='${Conffiles}' ombrelo | awk '{print $1}')
  $SUDO dpkg -r ombrelo >/dev/null 2>&1 || { say "dpkg -r failed"; return 1; }
  local f
  for f in $files; do
    grep -qxF "$f" <<<"$conffiles" || { [ -e "$f" ] && left+=" $f"; }
  done
  [ -z "$left" ] || { say "left behind:$left"; return 1; }
  $SUDO dpkg --purge ombrelo >/dev/null 2>&1
  installed_here=0
  ! dpkg-query -W -f='${Status}' ombrelo 2>/dev/null | grep -q "installed"
}

# name | check. Rows run in order: each installer row builds on the one before, likewise each
# package row.
checks=(
  "checksums: SHA256SUMS verifies the three files|check_sums"
  "zip: the three programs, README, LICENSE and the notices, nothing else|check_zip_listing"
  "zip: texts in CR LF, README names the version, LICENSE the copyright, notices the licences|check_zip_texts"
  "zip: no link time in the .exe headers|check_zip_no_link_time"
  "zip: ombrelo-console.exe and ombrelo-plot.exe --version under Wine|check_zip_versions"
  "zip: ombrelo-console.exe --once reads the simulated tester on COM3|check_zip_console_once"
  "zip: ombrelo-console.exe --test writes a bare name by its full path, keeps it without --force|check_zip_console_files"
  "zip: Ombrelo.exe starts and shows its window|check_zip_window"
  "installer: /S puts the files, the Start-menu shortcut and the uninstall key in place|check_setup_install"
  "installer: the installed Ombrelo.exe shows its window|check_setup_window"
  "installer: the uninstaller's /S leaves no file, shortcut or key|check_setup_uninstall"
  "deb: lintian reports no errors|check_deb_lintian"
  "deb: Depends from dpkg-shlibdeps|check_deb_depends"
  "deb: dpkg -i installs it|check_deb_install"
  "deb: --version of the three programs|check_deb_versions"
  "deb: man -l renders each manual page|check_deb_manuals"
  "deb: the udev rule is in /usr/lib/udev/rules.d|check_deb_rule"
  "deb: ombrelo-console --once reads the package's ombrelo-sim|check_deb_console_once"
  "deb: dpkg -r removes everything but conffiles|check_deb_remove"
)

failed=0
for row in "${checks[@]}"; do
  name=${row%|*}
  if "${row#*|}" >"$t_work/check.log" 2>&1; then
    echo "PASS  $name"
    sed -n '/^    /p' "$t_work/check.log"
  else
    echo "FAIL  $name"
    failed=$((failed + 1))
    sed 's/^/  /' "$t_work/check.log"
  fi
done
echo
echo "$(( ${#checks[@]} - failed )) of ${#checks[@]} checks passed (release $version)."
[ "$failed" = 0 ]
