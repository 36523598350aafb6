#!/bin/sh
# Checks the Debian package `make package` builds: its file list (everything under /usr, nothing
# else), its control fields (Depends from the programs' shared libraries, a short and a long
# description), lintian (no error or warning), and that the programs unpacked into a throw-away
# root run and say their version.
# Usage: package_test.sh tallymere_<version>_<arch>.deb
set -eu
deb=$1
root=$(mktemp -d "${TMPDIR:-/tmp}/tallymere-package.XXXXXX")
trap 'rm -rf "$root"' EXIT

fail() {
    echo "package_test: $*" >&2
    exit 1
}

name=$(basename "$deb")
version=$(dpkg-deb -f "$deb" Version)
arch=$(dpkg-deb -f "$deb" Architecture)
[ "$name" = "tallymere_${version}_${arch}.deb" ] || fail "named $name, not tallymere_${version}_${arch}.deb"
[ "$arch" = "$(dpkg --print-architecture)" ] || fail "architecture $arch"

# The files, exactly.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort >"$root/files"
cat >"$root/expected" <<'EOF'
./usr/bin/tallymere
./usr/bin/tallymere-cli
./usr/share/applications/tallymere.desktop
./usr/share/bash-completion/completions/tallymere
./usr/share/bash-completion/completions/tallymere-cli
./usr/share/doc/tallymere/changelog.gz
./usr/share/doc/tallymere/copyright
./usr/share/icons/hicolor/256x256/apps/tallymere.png
./usr/share/icons/hicolor/scalable/apps/tallymere.svg
./usr/share/man/man1/tallymere-cli.1.gz
./usr/share/man/man1/tallymere.1.gz
./usr/share/zsh/vendor-completions/_tallymere-cli
EOF
diff -u "$root/expected" "$root/files" >&2 || fail "the package's files differ from the list above"
dpkg-deb -c "$deb" | awk '{ print $6 }' | grep -v '^\./$' | grep -v '^\./usr/' && fail "files outside /usr"

# Depends names the libraries the programs link, as dpkg-shlibdeps found them.
depends=$(dpkg-deb -f "$deb" Depends)
for library in 'libc6 ' 'libstdc\+\+6 ' 'libsqlite3-0 ' 'libexpat1 ' 'libfmt[0-9]+ ' 'libqt6core6 ' 'libqt6widgets6 '; do
    echo "$depends, " | grep -Eq "(^|, )$library\\(>= [^)]+\\), " || fail "Depends lacks $library: $depends"
done
description=$(dpkg-deb -f "$deb" Description)
[ "$(echo "$description" | wc -l)" -ge 5 ] || fail "no long description: $description"
for field in Maintainer Section Priority Homepage; do
    [ -n "$(dpkg-deb -f "$deb" $field)" ] || fail "no $field"
done

# Installed into a throw-away root, the programs run from there.
dpkg -x "$deb" "$root/root"
"$root/root/usr/bin/tallymere-cli" --version | grep -Eq "^Tallymere $version \\(commit ([0-9a-f]+|unknown)\\)\$" ||
    fail "tallymere-cli --version: $("$root/root/usr/bin/tallymere-cli" --version)"
env -u DISPLAY -u WAYLAND_DISPLAY "$root/root/usr/bin/tallymere" --version | grep -q "^Tallymere $version " ||
    fail "tallymere --version"
grep -q '^Exec=tallymere$' "$root/root/usr/share/applications/tallymere.desktop" || fail "the desktop entry's Exec"
zcat "$root/root/usr/share/man/man1/tallymere-cli.1.gz" | LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z 2>&1 | grep . &&
    fail "groff warns about the packaged tallymere-cli.1"

# lintian's verdict (its informational notes are printed, not counted).
if command -v lintian >/dev/null 2>&1; then
    lintian --fail-on error,warning --display-info "$deb" || fail "lintian reports errors or warnings"
else
    fail "lintian is not installed (scripts/install-deps installs it)"
fi
echo "package_test: $name checked"
