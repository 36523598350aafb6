# bash completion for tallymere-cli and tallymere: commands, their options, restore's kinds,
# folders for --device and files where a file is named.

_tallymere_cli() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=${COMP_WORDS[COMP_CWORD-1]}
    local commands="backup-all export-all restore backup export settings check compact watch start archive device"
    local device_commands="seed deliver import list dump delete move mark-read new-folder"
    local archive_commands="list show export-xml"

    # The command and the device command given so far (--device's value is neither).
    local i command="" sub=""
    for ((i = 1; i < COMP_CWORD; i++)); do
        case ${COMP_WORDS[i]} in
            --device) ((i++)) ;;
            -*) ;;
            *)
                if [[ -z $command ]]; then
                    command=${COMP_WORDS[i]}
                elif [[ ($command == device || $command == archive) && -z $sub ]]; then
                    sub=${COMP_WORDS[i]}
                fi
                ;;
        esac
    done

    case $prev in
        --device)
            COMPREPLY=($(compgen -d -- "$cur"))
            return
            ;;
        --attach | --mms | --body-file)
            COMPREPLY=($(compgen -f -- "$cur"))
            return
            ;;
        --autostart)
            COMPREPLY=($(compgen -W "on off" -- "$cur"))
            return
            ;;
        --attachments)
            COMPREPLY=($(compgen -d -- "$cur"))
            return
            ;;
        --output-dir | --folder | --from | --from-name | --to | --subject | --body | --class | --time | --messages | --seed | --select | --grep)
            return
            ;;
    esac

    if [[ -z $command ]]; then
        if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W "--device --help --version" -- "$cur"))
        else
            COMPREPLY=($(compgen -W "$commands" -- "$cur"))
        fi
        return
    fi

    local options="--help" words=""
    case $command in
        backup-all | export-all | compact) options+=" --json --wait" ;;
        check) options+=" --repair --json --wait" ;;
        restore)
            options+=" --select --dry-run --yes --json --wait"
            words="normal extra"
            ;;
        backup | export) options+=" --select --list --json --wait" ;;
        settings) options+=" --output-dir --autostart --json --wait" ;;
        watch) options+=" --no-export --backup --verbose --json --wait" ;;
        start) options+=" --json --wait" ;;
        archive)
            case $sub in
                "") words=$archive_commands ;;
                list) options+=" --present --deleted --grep --json" ;;
                show) options+=" --attachments --json" ;;
                export-xml)
                    options+=" --all --select --json"
                    [[ $cur != -* ]] && COMPREPLY=($(compgen -f -- "$cur")) && return
                    ;;
            esac
            ;;
        device)
            case $sub in
                "") words=$device_commands ;;
                seed) options+=" --messages --seed --json" ;;
                deliver) options+=" --folder --from --from-name --to --subject --body --body-file --class --attach --mms --time --read --json" ;;
                list | dump | delete | move | mark-read | new-folder) options+=" --json" ;;
                import)
                    if [[ $cur != -* ]]; then
                        COMPREPLY=($(compgen -f -- "$cur"))
                        return
                    fi
                    options+=" --strict --mirror --force --json"
                    ;;
            esac
            ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
    elif [[ -n $words ]]; then
        COMPREPLY=($(compgen -W "$words" -- "$cur"))
    fi
}

_tallymere() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    if [[ ${COMP_WORDS[COMP_CWORD-1]} == --device ]]; then
        COMPREPLY=($(compgen -d -- "$cur"))
    else
        COMPREPLY=($(compgen -W "--device --help --version" -- "$cur"))
    fi
}

complete -F _tallymere_cli tallymere-cli
complete -F _tallymere tallymere
