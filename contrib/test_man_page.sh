#!/bin/sh
# The man page was built, is roff for section 1, and documents every option and format.
# Usage: test_man_page.sh ktsensors.1
set -u
page=$1
[ -s "$page" ] || { echo "no man page at $page"; exit 1; }
failed=0
head -c 2000 "$page" | grep -q '^\.TH KTSENSORS "1"' || { echo "no .TH KTSENSORS 1 header"; failed=1; }
for text in 'ktsensors \\- print' '\\-\\-format' '\\-\\-output' '\\-\\-reset\\-cache' '\\-\\-watch' \
            '\\-\\-plot' '^\.SH FORMATS' 'sensors\\-json' 'kovaltherm_temperature_celsius' '^\.SH EXAMPLES' \
            '\\-\\-listen' '\\-\\-max\\-age' '^\.SH ENVIRONMENT' 'KOVALTHERM_REGISTRY' 'KOVALTHERM_TRACE' \
            'KOVALTHERM_CLOCK' '\\-\\-timeout' '^\.SH STATUS' '^\.SH "SCENARIO FILES"' '^\.SH HTTP' 'ktsensors\.service'; do
    grep -q -- "$text" "$page" || { echo "the man page lacks $text"; failed=1; }
done
# Parser internals have no place in it.
if grep -q 'POSITIVE\|UINT\|FILE:FILE' "$page"; then echo "the man page shows parser internals"; failed=1; fi
[ $failed -eq 0 ] && echo "man page: $(wc -l <"$page") lines, every option and format documented"
exit $failed
