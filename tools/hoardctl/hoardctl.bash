# bash completion for hoardctl: commands (from hoardctl --help), options, and table names (from
# hoardctl ls, under the --root given on the line or $HOARD_SHM_ROOT).
_hoardctl() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    local i root=() command=""
    for ((i = 1; i < COMP_CWORD; i++)); do
        case ${COMP_WORDS[i]} in
            --root) root=(--root "${COMP_WORDS[i+1]}"); ((i++)) ;;
            --match | --count) ((i++)) ;;
            -*) ;;
            *) [[ -z $command ]] && command=${COMP_WORDS[i]} ;;
        esac
    done
    case $prev in
        --root) COMPREPLY=($(compgen -d -- "$cur")); return ;;
        --count | --match) return ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "--help --version --root --json --match --sorted --count" -- "$cur"))
    elif [[ -z $command ]]; then
        local commands
        commands=$(hoardctl --help 2>/dev/null | awk '/^commands:/ {on=1; next} on && /^  [a-z]/ {print $1}')
        COMPREPLY=($(compgen -W "$commands help" -- "$cur"))
    elif [[ $command != types && $command != help ]]; then
        local tables
        tables=$(hoardctl "${root[@]}" ls 2>/dev/null | awk 'NR > 1 {print $1}')
        COMPREPLY=($(compgen -W "$tables" -- "$cur"))
    fi
}
complete -F _hoardctl hoardctl
