#!/bin/sh
# Upgrades keep everything: a device folder and its archive as the first release of the 2.x
# series wrote them (tests/data/upgrade/device-2.2.tar.gz, see make_fixture.sh) are read by this
# build as they are. The setting it stored holds, the archive checks sound, a restore brings
# back the three messages deleted after the last backup (the MMS with its attachment among
# them), a backup appends the one message that arrived since, an export writes exactly the
# messages it had not exported, and the message store gains its change-log index once.
# Usage: upgrade_test.sh TALLYMERE_CLI FIXTURE.tar.gz
set -eu
cli=$1
fixture=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/tallymere-upgrade.XXXXXX")
trap 'rm -rf "$work"' EXIT
tar xzf "$fixture" -C "$work"
export TALLYMERE_DEVICE="$work/device" TZ=UTC LC_ALL=C.UTF-8 XDG_CONFIG_HOME="$work/config"
store="$work/device/.platform/messages.db"
export_tree="$work/device/Backups/Tallyport"

fail() {
    echo "upgrade_test: $*" >&2
    exit 1
}

# Runs the command and compares its standard output with the expected line.
expect() {
    expected=$1
    shift
    got=$("$cli" "$@" 2>"$work/stderr") || fail "$* failed ($?): $(cat "$work/stderr")"
    [ "$got" = "$expected" ] || fail "$*: expected \"$expected\", got \"$got\""
}

# The store's schema as SQLite keeps it: its version and whether the time index is there.
schema() {
    sqlite3 "$store" "PRAGMA schema_version; SELECT count(*) FROM sqlite_master WHERE name = 'changes_time';" | tr '\n' ' '
}
text_files() {
    find "$export_tree" -name '*.txt' | sort
}

old_schema=$(schema)
[ "${old_schema#* }" = "0 " ] || fail "the fixture's store already has the time index ($old_schema)"
text_files >"$work/exported-before"
cp -r "$export_tree" "$work/export-before"

expect "Output directory: \"\\Backups\" ($work/device/Backups)
Start at login: off" settings
"$cli" check >"$work/check" || fail "check of the old archive: $(cat "$work/check")"
grep -q '^Index entries: 26 (26 present, 0 absent)$' "$work/check" || fail "check: $(cat "$work/check")"

expect "Message restore was successfull. (3 messages)" restore normal --yes
migrated=$(schema)
[ "${migrated#* }" = "1 " ] || fail "the store has no time index after its first opening ($migrated)"
expect "Message backup was successfull. (1 messages)" backup-all
# The restored messages were exported before: the export list follows them to their new
# identifiers, so only the message that is new is exported.
expect "1 messages exported successfully." export-all
[ "$(schema)" = "$migrated" ] || fail "the store's schema changed again: $migrated, then $(schema)"

"$cli" check >"$work/check" || fail "check after the upgrade: $(cat "$work/check")"
grep -q '^Index entries: 27 (27 present, 0 absent)$' "$work/check" || fail "check: $(cat "$work/check")"
inbox=$("$cli" device list SMS/Inbox --json)
[ "$(echo "$inbox" | grep -o '"entryid"' | wc -l)" -eq 11 ] || fail "the inbox does not hold 11 messages: $inbox"

# The old export is left as it was, and the one new text file is beside it; the restored MMS
# is not exported a second time.
diff -r -x Messages.ndx "$work/export-before" "$export_tree" | grep -v '^Only in' | grep -q . &&
    fail "files of the old export changed: $(diff -r -x Messages.ndx "$work/export-before" "$export_tree" | head)"
[ "$(text_files | comm -23 "$work/exported-before" - | wc -l)" -eq 0 ] || fail "text files of the old export are gone"
[ "$(text_files | comm -13 "$work/exported-before" - | wc -l)" -eq 1 ] || fail "not one new text file: $(text_files)"
[ "$(grep -l '^Subject: Holiday$' "$export_tree/SMS/Inbox"/*.txt | wc -l)" -eq 1 ] ||
    fail "the restored MMS was exported again"

# Nothing is left to do: a second round finds everything done.
expect "Message backup was successfull. (0 messages)" backup-all
expect "0 messages exported successfully." export-all
expect "Message restore was successfull. (0 messages)" restore extra --yes
echo "upgrade_test: the 2.2 device folder and archive were read, restored, backed up and exported"
