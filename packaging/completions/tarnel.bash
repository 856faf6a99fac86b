# bash completion for tarnel(1): its commands, each command's options, and the values they take.

# The next twelve whole hours, as tarnel pause --until takes them (HH:MM).
_tarnel_clock_times() {
    local hour=$((10#$(date +%H))) k
    for ((k = 1; k <= 12; k++)); do printf '%02d:00 ' $(((hour + k) % 24)); done
}

_tarnel() {
    local cur prev words cword split
    _init_completion -s -n : || return

    local commands='install restore status doctor pause resume start stop'
    local command='' i
    for ((i = 1; i < cword; i++)); do
        if [[ ${words[i]} != -* ]]; then
            command=${words[i]}
            break
        fi
    done
    if [[ -z $command ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$commands --help --version" -- "$cur")
        return
    fi

    local values=''
    case $prev in
    --state-dir)
        _filedir -d
        return
        ;;
    --settings | --tee)
        _filedir
        return
        ;;
    --notify) values='desktop app off' ;;
    --shell-stop-mode) values='shell-first claude-only' ;;
    --threshold) values='80 85 90 95' ;;
    --refresh) values='30 60 120' ;;
    --until) values=$(_tarnel_clock_times) ;;
    --for) values='30m 1h 1h30m 2h 4h 8h' ;;
    esac
    if [[ -n $values ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$values" -- "$cur")
        __ltrim_colon_completions "$cur"
        return
    fi
    [[ $split == true ]] && return

    # Each command's own options; every command takes the locations and --help.
    local options
    case $command in
    install) options='--tee --refresh --threshold --notify --shell-stop-mode' ;;
    restore) options='' ;;
    status) options='--json' ;;
    doctor) options='--json --all-users' ;;
    pause) options='--until --for' ;;
    resume) options='--usage' ;;
    start) options='' ;;
    stop) options='' ;;
    *) return ;;
    esac
    mapfile -t COMPREPLY < <(compgen -W "$options --state-dir --settings --help" -- "$cur")
} &&
    complete -F _tarnel tarnel
