#!/usr/bin/env bash
# Checks that the release is reproducible (slow, about twice scripts/release.sh; not part of CI):
# builds the commit checked out twice with scripts/release.sh, from two clones at paths of
# different lengths, one after the other and the second in another time zone, and compares
# every artefact byte for byte. Prints one line per artefact and fails on any difference,
# showing where the two differ.
#
#   bash scripts/release-repro.sh
#
# Work files go to build/release-repro/ (OMBRELO_BUILD_ROOT overrides build/).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
work="${OMBRELO_BUILD_ROOT:-$here/build}/release-repro"
commit=$(git -C "$here" rev-parse HEAD)

rm -rf "$work"
mkdir -p "$work"
clones=("$work/a" "$work/second/clone/b")
zones=(UTC Pacific/Kiritimati)
for i in 0 1; do
  clone=${clones[$i]}
  git clone -q --no-checkout "$here" "$clone"
  git -C "$clone" checkout -q "$commit"
  echo "==== build $((i + 1)) of 2: $clone (TZ=${zones[$i]})"
  TZ=${zones[$i]} OMBRELO_BUILD_ROOT="$clone/build" OMBRELO_DIST="$work/dist$i" bash "$clone/scripts/release.sh"
done

# Where two files differ: the first bytes, and for the archives the members that differ.
explain() { # first second
  cmp "$1" "$2" | sed 's/^/    /' || true
  local a="$work/explain/a" b="$work/explain/b"
  rm -rf "$work/explain"
  mkdir -p "$a" "$b"
  case "$1" in
    *.zip)
      diff <(zipinfo "$1" | tail -n +2) <(zipinfo "$2" | tail -n +2) | sed 's/^/    /' || true
      unzip -q "$1" -d "$a" && unzip -q "$2" -d "$b" ;;
    *.deb)
      diff <(dpkg-deb -I "$1"; dpkg-deb -c "$1") <(dpkg-deb -I "$2"; dpkg-deb -c "$2") | sed 's/^/    /' || true
      dpkg-deb -R "$1" "$a" && dpkg-deb -R "$2" "$b" ;;
    *) return 0 ;;
  esac
  diff -rq "$a" "$b" | sed 's/^/    /' || true
}

status=0
echo
for f in $(cd "$work/dist0" && ls); do
  if cmp -s "$work/dist0/$f" "$work/dist1/$f"; then
    printf 'identical  %-40s %9d bytes\n' "$f" "$(stat -c %s "$work/dist0/$f")"
  else
    printf 'DIFFERENT  %s\n' "$f"
    explain "$work/dist0/$f" "$work/dist1/$f"
    status=1
  fi
done
[ "$status" = 0 ] && echo "The two builds of $commit are byte for byte the same."
exit "$status"
