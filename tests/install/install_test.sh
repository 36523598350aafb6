#!/bin/sh
# Installs the build into a temporary prefix and checks what a user finds there: both programs
# (they run and say their version), the manual pages (groff reads them), the bash completion
# (it completes commands, options and restore's kinds) and the zsh completion (compinit finds
# it for tallymere-cli and tallymere), the desktop entry and the icon.
# Usage: install_test.sh BUILD_DIR [with-desktop]
set -eu
build=$1
desktop=${2:-}
prefix=$(mktemp -d "${TMPDIR:-/tmp}/tallymere-install.XXXXXX")
trap 'rm -rf "$prefix"' EXIT

fail() {
    echo "install_test: $*" >&2
    exit 1
}

cmake --install "$build" --prefix "$prefix" >/dev/null

expected="bin/tallymere-cli
share/bash-completion/completions/tallymere-cli
share/man/man1/tallymere-cli.1
share/zsh/site-functions/_tallymere-cli"
if [ "$desktop" = with-desktop ]; then
    expected="$expected
bin/tallymere
share/applications/tallymere.desktop
share/bash-completion/completions/tallymere
share/icons/hicolor/256x256/apps/tallymere.png
share/icons/hicolor/scalable/apps/tallymere.svg
share/man/man1/tallymere.1"
fi
for file in $expected; do
    [ -s "$prefix/$file" ] || fail "$file is not installed"
done
[ -x "$prefix/bin/tallymere-cli" ] || fail "tallymere-cli is not executable"

# The installed programs run from the prefix.
"$prefix/bin/tallymere-cli" --version | grep -Eq '^Tallymere 2\.2 \(commit ([0-9a-f]+|unknown)\)$' ||
    fail "tallymere-cli --version: $("$prefix/bin/tallymere-cli" --version)"
if [ "$desktop" = with-desktop ]; then
    env -u DISPLAY -u WAYLAND_DISPLAY "$prefix/bin/tallymere" --version | grep -q '^Tallymere 2\.2 ' ||
        fail "tallymere --version"
fi

# The manual pages are roff that man's formatter reads without a warning, with the sections a
# reader looks for.
for page in "$prefix"/share/man/man1/*.1; do
    text=$(LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z "$page" 2>&1) || fail "groff failed on $page"
    [ -z "$text" ] || fail "groff warns about $page: $text"
    head -n 20 "$page" | grep -q '^\.TH' || fail "$page has no .TH line"
done
cli_page=$(LC_ALL=C.UTF-8 MANWIDTH=100 groff -man -Tutf8 "$prefix/share/man/man1/tallymere-cli.1" | sed 's/.\x08//g')
for section in NAME SYNOPSIS "EXIT STATUS" ENVIRONMENT; do
    echo "$cli_page" | grep -q "^$section" || fail "tallymere-cli.1 has no $section section"
done
for status in 0 1 2 3 4 130; do
    echo "$cli_page" | grep -Eq "^ +$status\$" || fail "tallymere-cli.1 does not list exit status $status"
done

# bash: the installed completion completes what tallymere-cli knows.
complete_with_bash() {
    bash --norc --noprofile -c '
        . "$1"; shift
        COMP_WORDS=("$@"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
        _tallymere_cli
        printf "%s\n" "${COMPREPLY[@]}" | sort | tr "\n" " "' \
        complete "$prefix/share/bash-completion/completions/tallymere-cli" "$@"
}
[ "$(complete_with_bash tallymere-cli back)" = "backup backup-all " ] || fail "bash: back -> $(complete_with_bash tallymere-cli back)"
[ "$(complete_with_bash tallymere-cli restore "")" = "extra normal " ] || fail "bash: restore kinds"
[ "$(complete_with_bash tallymere-cli --device /tmp restore extra --y)" = "--yes " ] || fail "bash: --yes"
[ "$(complete_with_bash tallymere-cli device li)" = "list " ] || fail "bash: device li"
[ "$(complete_with_bash tallymere-cli check --)" = "--help --json --repair --wait " ] || fail "bash: check options"
[ "$(complete_with_bash tallymere-cli comp)" = "compact " ] || fail "bash: comp -> compact"
[ "$(complete_with_bash tallymere-cli settings --autostart "")" = "off on " ] || fail "bash: --autostart's values"
# Every command the completion offers is one tallymere-cli knows.
for command in $(complete_with_bash tallymere-cli ""); do
    "$prefix/bin/tallymere-cli" "$command" --help >/dev/null 2>&1 || fail "bash offers $command, which tallymere-cli does not know"
done

# zsh: compinit finds the installed function for both programs, and it parses.
if command -v zsh >/dev/null 2>&1; then
    zsh -n "$prefix/share/zsh/site-functions/_tallymere-cli" || fail "zsh: _tallymere-cli does not parse"
    found=$(HOME=$prefix zsh -f -c '
        fpath=("$1" $fpath); autoload -Uz compinit; compinit -u -d "$HOME/.zcompdump"
        print -r -- "$_comps[tallymere-cli] $_comps[tallymere]"' zsh "$prefix/share/zsh/site-functions")
    [ "$found" = "_tallymere-cli _tallymere-cli" ] || fail "zsh: compinit found \"$found\""
else
    echo "install_test: zsh is not installed, its completion is not checked"
fi
echo "install_test: installed and checked under $prefix"
