#!/bin/bash
# The bash completion of olvek-transcribe, run as bash-completion runs it:
# options come from --help, --lang offers languages, and an input completes
# to file names.
# completion_check.sh OLVEK_TRANSCRIBE COMPLETION_FILE
set -u
program=$1 completion=$2
framework=/usr/share/bash-completion/bash_completion
if [ ! -r "$framework" ]; then
    echo "bash-completion is not installed"
    exit 1
fi
# shellcheck disable=SC1090
source "$framework"
# shellcheck disable=SC1090
source "$completion"
status=0

# complete LINE: the completions for the last word of LINE.
complete_line() {
    read -r -a COMP_WORDS <<<"$1"
    [[ $1 == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE=$1 COMP_POINT=${#1}
    COMPREPLY=()
    _olvek_transcribe "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf '%s\n' "${COMPREPLY[@]}" | sort
}

expect() { # NAME LINE EXPECTED...
    local name=$1 line=$2
    shift 2
    local got want
    got=$(complete_line "$line")
    want=$(printf '%s\n' "$@" | sort)
    if [ "$got" != "$want" ]; then
        echo "$name: '$line' completes to [$(echo $got)], expected [$(echo $want)]"
        status=1
    fi
}

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
touch "$dir/talk.wav" "$dir/talk.flac"
cd "$dir" || exit 1

expect "an option from --help" "$program --mi" --mic
expect "options by their prefix" "$program --he" --help --helper
expect "a file as the input" "$program --mic talk.w" talk.wav
expect "--helper takes a path" "$program --helper talk.f" talk.flac
languages=$("$program" --list-languages 2>/dev/null | awk '{print $1}')
[ -n "$languages" ] || languages="en auto"
# shellcheck disable=SC2086
expect "--lang offers the languages" "$program --lang " $languages
exit $status
