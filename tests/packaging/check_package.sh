#!/usr/bin/env bash
# Builds the Debian package from a build folder's binaries (cpack -G DEB into
# a scratch folder) and inspects it with dpkg-deb: the files it must hold,
# nothing outside /usr, no maintainer scripts, the Depends line dpkg-shlibdeps
# wrote, and the packaged programs answering --version.
# Usage: check_package.sh BUILD_DIR VERSION [CPACK]
# Exit status 77 (a skip for CTest) when the Debian tools are missing.
set -uo pipefail
build_dir=$1
version=$2
cpack=${3:-cpack}

for tool in dpkg-deb dpkg-shlibdeps dpkg; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is missing (dpkg and dpkg-dev, installed by scripts/setup); the package cannot be built or inspected"
    exit 77
  fi
done
if ! grep -q '^KESTREL_BUILD_GUI:BOOL=ON' "$build_dir/CMakeCache.txt"; then
  echo "SKIP: this build folder has no kestrel-gui (KESTREL_BUILD_GUI=OFF); the package needs both programs"
  exit 77
fi

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

scratch=$(mktemp -d "${TMPDIR:-/tmp}/kestrel-package-test-XXXXXX")
trap 'rm -rf "$scratch"' EXIT

if ! (cd "$build_dir" && "$cpack" -G DEB -B "$scratch" >"$scratch/cpack.log" 2>&1); then
  cat "$scratch/cpack.log"
  echo "FAIL: cpack -G DEB did not build the package"
  exit 1
fi
arch=$(dpkg --print-architecture)
deb="$scratch/kestrel_${version}_${arch}.deb"
if [ ! -f "$deb" ]; then
  ls "$scratch"
  echo "FAIL: cpack did not write kestrel_${version}_${arch}.deb"
  exit 1
fi

# --- the files ---
contents=$(dpkg-deb --contents "$deb") || { echo "FAIL: dpkg-deb --contents"; exit 1; }
paths=$(awk '{ p = $6; for (i = 7; i <= NF; i++) p = p " " $i; print p }' <<<"$contents")
mode_of() { awk -v path="$1" '{ p = $6; for (i = 7; i <= NF; i++) p = p " " $i; if (p == path || index(p, path " -> ") == 1) print $1 }' <<<"$contents"; }

expect_file() {  # path, wanted mode
  local mode
  mode=$(mode_of "$1")
  if [ -z "$mode" ]; then
    fail "the package lacks $1"
  elif [ "$mode" != "$2" ]; then
    fail "$1 has mode $mode, not $2"
  fi
}
expect_file ./usr/bin/kestrel -rwxr-xr-x
expect_file ./usr/bin/kestrel-gui -rwxr-xr-x
expect_file ./usr/share/applications/kestrel.desktop -rw-r--r--
expect_file ./usr/share/icons/hicolor/scalable/apps/kestrel.svg -rw-r--r--
expect_file ./usr/share/man/man1/kestrel.1.gz -rw-r--r--
expect_file ./usr/share/man/man1/kestrel-gui.1.gz -rw-r--r--
expect_file ./usr/share/bash-completion/completions/kestrel -rw-r--r--
expect_file ./usr/share/bash-completion/completions/kestrel-gui lrwxrwxrwx

while IFS= read -r path; do
  case $path in
    ./ | ./usr/ | ./usr/*) ;;
    *) fail "a file outside /usr: $path" ;;
  esac
done <<<"$paths"
if grep -q -- '-> /' <<<"$paths"; then
  fail "a symbolic link with an absolute target: $(grep -- '-> /' <<<"$paths")"
fi

# --- the control fields ---
info=$(dpkg-deb --info "$deb") || { echo "FAIL: dpkg-deb --info"; exit 1; }
field() { dpkg-deb --field "$deb" "$1"; }
[ "$(field Package)" = kestrel ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', not $version"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture is '$(field Architecture)', not $arch"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
[ -n "$(field Section)" ] || fail "no Section"
description=$(field Description)
grep -qi 'text messages' <<<"$description" || fail "the Description does not say what the program does: $description"
[ "$(wc -l <<<"$description")" -ge 3 ] || fail "the Description has no long part: $description"

depends=$(field Depends)
# Package names of Debian 12; the t64 names are those of Debian 13.
for library in libc6 'libstdc\+\+6' libsqlite3-0 'libplist(-2\.0-4|3)' 'libqt6widgets6(t64)?' 'libqt6core6(t64)?' \
  'libssl3(t64)?' 'libphonenumber[0-9]+(-protobuf[0-9]+)?' 'libcurl4(t64)?'; do
  grep -Eq "(^|, )${library}( |,|$)" <<<"$depends" || fail "Depends names no ${library//\\/}: $depends"
done

# Maintainer scripts would run at install and removal: there must be none, so
# removing the package removes exactly the files it listed.
for script in preinst postinst prerm postrm config; do
  if grep -Eq "^ +[0-9]+ bytes, +[0-9]+ lines +\*? *${script}( |$)" <<<"$info"; then
    fail "the package has a $script script"
  fi
done
if grep -Eq '^ +[0-9]+ bytes, +[0-9]+ lines +conffiles' <<<"$info"; then
  fail "the package declares conffiles"
fi

# --- what the files hold ---
root="$scratch/root"
dpkg-deb --extract "$deb" "$root" || { echo "FAIL: dpkg-deb --extract"; exit 1; }
for page in kestrel kestrel-gui; do
  gz="$root/usr/share/man/man1/$page.1.gz"
  [ -f "$gz" ] || continue
  gzip -t "$gz" || fail "$page.1.gz is not a valid gzip file"
  zcat "$gz" | grep -q '^\.TH ' || fail "$page.1.gz holds no manual page"
  # Bytes 4-7 of a gzip file: the time stamp, zero when gzipped with -n.
  [ "$(od -An -tx1 -j4 -N4 "$gz" | tr -d ' \n')" = 00000000 ] || fail "$page.1.gz carries a time stamp (gzip -n)"
done
out=$("$root/usr/bin/kestrel" --version 2>&1)
[ "$out" = "kestrel $version" ] || fail "the packaged kestrel --version printed '$out'"
out=$("$root/usr/bin/kestrel-gui" --version 2>&1)
grep -q "$version" <<<"$out" || fail "the packaged kestrel-gui --version printed '$out'"
if command -v file >/dev/null && file "$root/usr/bin/kestrel" | grep -q 'not stripped'; then
  fail "the packaged kestrel is not stripped"
fi
# libcurl is loaded when a feedback mail goes out, not at every start: no
# packaged program may link it (the Depends above still names it).
if command -v objdump >/dev/null; then
  for program in kestrel kestrel-gui; do
    needed=$(objdump -p "$root/usr/bin/$program" | awk '$1 == "NEEDED" {print $2}')
    grep -q '^libcurl' <<<"$needed" && fail "the packaged $program links libcurl"
  done
fi
grep -q '^Exec=kestrel-gui' "$root/usr/share/applications/kestrel.desktop" || fail "kestrel.desktop does not start kestrel-gui"

if [ "$failures" -ne 0 ]; then
  echo "--- dpkg-deb --info ---"
  echo "$info"
  echo "--- dpkg-deb --contents ---"
  echo "$contents"
  echo "$failures check(s) failed"
  exit 1
fi
echo "kestrel_${version}_${arch}.deb: $(wc -l <<<"$paths") entries, Depends: $depends"
