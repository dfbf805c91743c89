#!/usr/bin/env bash
# The layout that docs/working-on-the-code.md draws against the tree: every folder and file it
# names (the first word of a line in its Layout section's block) exists, and every room is
# named, itself or by what it holds: each folder at the top, under tools/ and under tests/ that
# holds a tracked file.
#   layout_test.sh SOURCE_DIR
set -euo pipefail
src=${1:?usage: layout_test.sh SOURCE_DIR}
doc=$src/docs/working-on-the-code.md

# The block's lines that name a path: a first word with a slash, written from the margin or
# indented (the files of a room).
named=$(awk '/^## Layout/ { layout = 1; next } /^## / { layout = 0 }
             layout && /^```/ { if (block) exit; block = 1; next }
             block && $1 ~ /\// { print $1 }' "$doc")
[ -n "$named" ] || { echo "layout: no block of paths under '## Layout' in $doc" >&2; exit 1; }

status=0
while read -r path; do
    [ -e "$src/$path" ] || { echo "layout: $doc names $path, which is missing" >&2; status=1; }
done <<<"$named"

# Rooms: from git's list of files where there is one, so that build output is no room.
if git -C "$src" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    files=$(git -C "$src" ls-files)
else
    files=$(cd "$src" && find . -path ./build -prune -o -type f -print | sed 's|^\./||')
fi
rooms=$( { sed -n 's|^\([^./][^/]*\)/.*|\1/|p' <<<"$files"
           sed -n 's|^\(tools/[^/]*\)/.*|\1/|p; s|^\(tests/[^/]*\)/.*|\1/|p' <<<"$files"; } | sort -u)
count=0
while read -r room; do
    count=$((count + 1))
    [[ $'\n'$named == *$'\n'"$room"* ]] ||
        { echo "layout: the room $room is not named in $doc's layout" >&2; status=1; }
done <<<"$rooms"
[ $status -ne 0 ] || echo "layout: $(wc -l <<<"$named") paths named, all present; $count rooms, all named"
exit $status
