#!/bin/sh
# The manual pages render without a warning from groff, and olvek-transcribe(1)
# documents every option that --help lists.
# manual_pages_check.sh OLVEK_TRANSCRIBE MAN_DIR
set -u
program=$1 mandir=$2
status=0
for page in "$mandir"/*.[18]; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    if [ -n "$warnings" ]; then
        echo "$page: $warnings"
        status=1
    fi
done
# The OPTIONS section alone: each option must have its own entry there.
text=$(LC_ALL=C.UTF-8 MANWIDTH=200 man -l "$mandir/olvek-transcribe.1" 2>/dev/null |
       awk '/^OPTIONS/ { on = 1; next } /^[A-Z]/ { on = 0 } on')
options=$("$program" --help | grep -oE '^  +--?[a-z][a-z-]*' | tr -d ' ')
[ -n "$options" ] || { echo "no options found in --help"; exit 1; }
for option in $options; do
    if ! printf '%s\n' "$text" | grep -qE -- "^ +(-[-a-z]+, )*$option(,| |\$)"; then
        echo "olvek-transcribe.1 does not document $option"
        status=1
    fi
done
exit $status
