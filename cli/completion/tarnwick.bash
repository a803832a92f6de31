# bash completion for tarnwick: commands, their options, container files and
# the ids of mounted sessions.

_tarnwick_sessions() {
    # Session ids from the mount service; nothing when it does not answer.
    tarnwick sessions --json 2>/dev/null | grep -o '"id":"[0-9a-f-]*"' | cut -d'"' -f4
}

_tarnwick() {
    local cur prev words cword
    _init_completion 2>/dev/null || {
        COMPREPLY=()
        cur=${COMP_WORDS[COMP_CWORD]}
        prev=${COMP_WORDS[COMP_CWORD-1]}
        words=("${COMP_WORDS[@]}")
        cword=$COMP_CWORD
    }

    local commands="version create devices image info verify mount unmount repair sessions
        service-status restart-service stop-service export rekey convert replace
        import-veracrypt recover-replacement doctor help"

    if [[ $cword -eq 1 ]]; then
        COMPREPLY=($(compgen -W "$commands --version --help" -- "$cur"))
        return
    fi

    local command=${words[1]}
    local options="--json"
    case $command in
        create) options+=" --algorithm --credentials-stdin --experimental-compression" ;;
        image) options+=" --algorithm --credentials-stdin --experimental-compression" ;;
        verify | export) options+=" --password-stdin" ;;
        mount) options+=" --password-stdin --partition --label --experimental-write" ;;
        repair) options+=" --password-stdin" ;;
        rekey) options+=" --credentials-stdin --experimental-compression" ;;
        convert | replace) options+=" --algorithm --credentials-stdin --experimental-compression" ;;
        import-veracrypt) options+=" --credentials-stdin" ;;
    esac

    case $prev in
        --algorithm)
            COMPREPLY=($(compgen -W "AES-256-XTS XChaCha20 SSE1 XOR" -- "$cur"))
            return ;;
        --experimental-compression)
            COMPREPLY=($(compgen -W "off fast" -- "$cur"))
            return ;;
        off | fast)
            if [[ ${words[cword-2]} == --experimental-compression ]]; then
                COMPREPLY=($(compgen -W "4096 16384 65536" -- "$cur"))
                return
            fi ;;
        --partition | --label)
            return ;;
    esac

    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
        return
    fi

    case $command in
        unmount)
            COMPREPLY=($(compgen -W "$(_tarnwick_sessions)" -- "$cur"))
            ;;
        create)
            if [[ $cword -eq 4 ]]; then
                COMPREPLY=($(compgen -W "fat32 exfat ntfs" -- "$cur"))
            else
                _tarnwick_files zcx
            fi
            ;;
        image)
            if [[ $cword -eq 2 ]]; then
                COMPREPLY=($(compgen -W "$(tarnwick devices --json 2>/dev/null |
                    grep -o '"path":"[^"]*"' | cut -d'"' -f4)" -- "$cur"))
            else
                _tarnwick_files zcx
            fi
            ;;
        info | verify | mount | repair | rekey | replace | recover-replacement)
            _tarnwick_files zcx ;;
        export | convert | import-veracrypt)
            # Sources are often plain images; outputs are anything.
            _tarnwick_files ;;
    esac
}

# Files with the extension (all files without one) and folders to descend.
_tarnwick_files() {
    local IFS=$'\n'
    if [[ -n $1 ]]; then
        COMPREPLY=($(compgen -f -X "!*.$1" -- "$cur") $(compgen -d -- "$cur"))
    else
        COMPREPLY=($(compgen -f -- "$cur"))
    fi
    compopt -o filenames 2>/dev/null
}

complete -F _tarnwick tarnwick
