#!/bin/sh
# Makes the package of a build directory with cpack into WORK_DIR and checks
# its architecture, its dependencies and its files.
#
# Usage: check_deb.sh CPACK CPACK_CONFIG WORK_DIR ARCH DEPENDS PATH...
#
# ARCH: the Debian architecture, or "native" for this machine's. DEPENDS:
# "none" for a package that must depend on nothing (the static board
# executable), otherwise a package its Depends line must name. PATH: files
# the package must hold, as dpkg-deb -c lists them (./usr/...); each under
# ./etc/ must be a conffile.
set -eu
cpack=$1 config=$2 work=$3 arch=$4 depends=$5
shift 5

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

[ "$arch" != native ] || arch=$(dpkg --print-architecture)
rm -rf "$work"
mkdir -p "$work"
"$cpack" --config "$config" -B "$work" >"$work/cpack.log" 2>&1 || {
  cat "$work/cpack.log" >&2
  fail "cpack failed"
}
debs=$(find "$work" -maxdepth 1 -name '*.deb')
[ "$(echo "$debs" | wc -w)" -eq 1 ] || fail "cpack made not one package: $debs"
deb=$debs
echo "$(basename "$deb"): $(wc -c <"$deb") bytes"
dpkg-deb -I "$deb"

got=$(dpkg-deb -f "$deb" Architecture)
[ "$got" = "$arch" ] || fail "Architecture: $got, not $arch"

got=$(dpkg-deb -f "$deb" Depends)
if [ "$depends" = none ]; then
  [ -z "$got" ] || fail "Depends: $got (expected none)"
else
  echo ", $got," | grep -q "[, ]${depends}[ ,(]" || fail "Depends: '$got' does not name $depends"
fi

dpkg-deb -c "$deb" >"$work/contents"
cat "$work/contents"
conffiles=$(dpkg-deb -I "$deb" conffiles 2>/dev/null || true)
for path in "$@"; do
  awk -v p="$path" '$6 == p && $1 ~ /^-/ { found = 1 } END { exit !found }' "$work/contents" ||
    fail "$path is not in the package"
  case $path in
  ./etc/*)
    echo "$conffiles" | grep -qx "${path#.}" || fail "${path#.} is not a conffile"
    ;;
  esac
done
echo "package checked"
