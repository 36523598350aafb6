#!/bin/sh
# Makes tests/data/upgrade/device-2.2.tar.gz: a device folder and its archive as the first release of
# the 2.x series wrote them, for upgrade_test.sh. Kept for the record; the fixture is committed
# and is not made again by the build. It was made so:
#
#   git worktree add --detach /tmp/tm-old befc8d8     # the first commit that says "Tallymere 2.2"
#   (cd /tmp/tm-old && cmake --preset default -DTALLYMERE_DESKTOP=OFF -DTALLYMERE_TESTS=OFF \
#        -DTALLYMERE_BENCH=OFF && cmake --build --preset default --target tallymere-cli)
#   tests/upgrade/make_fixture.sh /tmp/tm-old/build/default/src/cli/tallymere-cli tests/data/upgrade/device-2.2.tar.gz
#
# What the device holds: 24 seeded messages, a message with an attachment and an MMS, the
# output directory changed to "\Backups" (a setting that must survive), a full backup and an
# export of all of them, then three messages (the MMS among them) deleted, for a restore to
# bring back, and one delivered, for a backup and an export to find.
# Usage: make_fixture.sh OLD_TALLYMERE_CLI OUTPUT.tar.gz
set -eu
cli=$1
output=$(realpath "$2")
work=$(mktemp -d "${TMPDIR:-/tmp}/tallymere-fixture.XXXXXX")
trap 'rm -rf "$work"' EXIT
export TALLYMERE_DEVICE="$work/device" TZ=UTC LC_ALL=C.UTF-8

"$cli" device seed --messages 24 --seed 2008
# A message with an attachment and a multimedia message with its client file, so that the
# archive holds attachment records and the export writes attachments beside the text.
printf 'Shopping list\nmilk\nbread\n' >"$work/list.txt"
printf '\211PNG\r\n\032\n-not-really-a-picture-' >"$work/photo.png"
"$cli" device deliver --from +15550111 --from-name "Ola Nordmann" --subject "The list" \
    --body "Here it is" --attach "$work/list.txt" --time 2026-11-28T08:30:00Z
"$cli" device deliver --from +15550122 --subject "Holiday" --body "Look at this" \
    --mms "$work/photo.png" --attach "$work/photo.png" --time 2026-11-29T09:15:00Z
"$cli" settings --output-dir '\Backups'
"$cli" backup-all
"$cli" export-all
# The first two messages of the inbox and the MMS.
inbox=$("$cli" device list --json SMS/Inbox | sed 's/},{/}\n{/g')
ids="$(echo "$inbox" | grep -o '"entryid":"[0-9a-f]*"' | head -n 2 | cut -d'"' -f4)
$(echo "$inbox" | grep '"subject":"Holiday"' | grep -o '"entryid":"[0-9a-f]*"' | cut -d'"' -f4)"
[ "$(echo "$ids" | wc -w)" -eq 3 ] || { echo "make_fixture: found no three messages to delete" >&2; exit 1; }
for id in $ids; do
    "$cli" device delete "$id"
done
"$cli" device deliver --from +15550100 --body "Arrived after the last backup" --time 2026-11-30T10:00:00Z
"$cli" device list
tar --sort=name --owner=0 --group=0 --numeric-owner -czf "$output" -C "$work" device
echo "make_fixture: wrote $output"
