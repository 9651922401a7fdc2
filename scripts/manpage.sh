#!/usr/bin/env bash
# Writes the man page of a command-line tool from its own --help texts, so the page says what
# --help says: the tool's --help is the description, and each command listed under "commands:"
# gets a section holding its `TOOL COMMAND --help`.
#
#     scripts/manpage.sh TOOL NAME VERSION "SUMMARY" > NAME.1
set -euo pipefail
tool=$1 name=$2 version=$3 summary=$4

# roff: backslashes first, then minus signs, then a leading '.' or "'" that would be a request.
roff() { sed -e 's/\\/\\e/g' -e 's/-/\\-/g' -e "s/^\\([.']\\)/\\\\\\&\\1/"; }

top=$("$tool" --help)
cat <<PAGE
.TH ${name^^} 1 "" "flowtable $version" "User Commands"
.SH NAME
$name \\- $(printf '%s' "$summary" | roff)
.SH SYNOPSIS
.nf
$(printf '%s\n' "$top" | sed -n 's/^usage: //p' | roff)
.fi
.SH DESCRIPTION
.nf
$(printf '%s\n' "$top" | sed '1{/^usage: /d}' | roff)
.fi
.SH COMMANDS
PAGE
printf '%s\n' "$top" | awk '/^commands:/ { on = 1; next } on && /^  [a-z]/ { print $1 } on && /^$/ { on = 0 }' |
    while read -r command; do
        printf '.SS %s\n.nf\n' "$command"
        "$tool" "$command" --help | roff
        printf '.fi\n'
    done
