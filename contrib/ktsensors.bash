# bash completion for ktsensors. The options come from the tool's own --help, so that the
# completion offers exactly what the installed build accepts.
_ktsensors()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    COMPREPLY=()
    case $prev in
        --format)
            COMPREPLY=($(compgen -W "text json sensors-json prometheus zabbix zabbix-discovery" -- "$cur"))
            return ;;
        --scenario)
            compopt -o filenames 2>/dev/null
            COMPREPLY=($(compgen -f -X '!*.json' -- "$cur") $(compgen -d -- "$cur"))
            return ;;
        --plot)
            compopt -o filenames 2>/dev/null
            COMPREPLY=($(compgen -f -X '!*.svg' -- "$cur") $(compgen -d -- "$cur"))
            return ;;
        --limits)
            COMPREPLY=($(compgen -W "owner firmware" -- "$cur"))
            return ;;
        --output|--registry|--config)
            compopt -o filenames 2>/dev/null
            COMPREPLY=($(compgen -f -- "$cur"))
            return ;;
        --watch|--count|--listen|--max-age|--warning|--critical|--ignore|--timeout|-t)
            return ;;
    esac
    local options
    options=$("${COMP_WORDS[0]}" --help 2>/dev/null | sed -n 's/^  \(--[a-z-]*\).*/\1/p')
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
}
complete -F _ktsensors ktsensors
