# fish completion for tarnel(1): its commands, each command's options, and the values they take.

set -l commands install restore status doctor pause resume start stop

# The next twelve whole hours, as tarnel pause --until takes them (HH:MM).
function __tarnel_clock_times
    set -l hour (date +%H | string replace -r '^0' '')
    for k in (seq 12)
        printf '%02d:00\n' (math "($hour + $k) % 24")
    end
end

complete -c tarnel -f
complete -c tarnel -n "not __fish_seen_subcommand_from $commands" -s h -l help -d 'Show the commands'
complete -c tarnel -n "not __fish_seen_subcommand_from $commands" -l version -d 'Show the version'
complete -c tarnel -n "not __fish_seen_subcommand_from $commands" -a install -d "Make tarnel-tee Claude Code's status line and hook command"
complete -c tarnel -n "not __fish_seen_subcommand_from $commands" -a restore -d 'Put the previous status line back'
complete -c tarnel -n "not __fish_seen_subcommand_from $commands" -a status -d 'What the daemon sees now'
complete -c tarnel -n "not __fish_seen_subcommand_from $commands" -a doctor -d 'Whether every live session would be held'
complete -c tarnel -n "not __fish_seen_subcommand_from $commands" -a pause -d 'Hold every session now, whatever the usage'
complete -c tarnel -n "not __fish_seen_subcommand_from $commands" -a resume -d 'End the pause asked for'
complete -c tarnel -n "not __fish_seen_subcommand_from $commands" -a start -d 'Run the daemon in the background where systemd does not'
complete -c tarnel -n "not __fish_seen_subcommand_from $commands" -a stop -d 'Stop the daemon; it continues every session it holds first'

# What every command takes.
complete -c tarnel -n "__fish_seen_subcommand_from $commands" -l state-dir -x -a '(__fish_complete_directories (commandline -ct))' -d 'State directory'
complete -c tarnel -n "__fish_seen_subcommand_from $commands" -l settings -r -F -d "Claude Code's settings file"
complete -c tarnel -n "__fish_seen_subcommand_from $commands" -s h -l help -d "Show the command's options"

complete -c tarnel -n '__fish_seen_subcommand_from install' -l tee -r -F -d 'tarnel-tee to run'
complete -c tarnel -n '__fish_seen_subcommand_from install' -l refresh -x -a '30 60 120' -d 'Status-line refresh interval (seconds)'
complete -c tarnel -n '__fish_seen_subcommand_from install' -l threshold -x -a '80 85 90 95' -d 'Five-hour percentage at which sessions are held'
complete -c tarnel -n '__fish_seen_subcommand_from install' -l notify -x -a 'desktop app off' -d 'Who posts notifications'
complete -c tarnel -n '__fish_seen_subcommand_from install' -l shell-stop-mode -x -a 'shell-first claude-only' -d 'Whether the shell is held too'
complete -c tarnel -n '__fish_seen_subcommand_from status' -l json -d 'Print one JSON object'
complete -c tarnel -n '__fish_seen_subcommand_from doctor' -l json -d 'Print one JSON object'
complete -c tarnel -n '__fish_seen_subcommand_from doctor' -l all-users -d 'Judge the sessions of other users too'
complete -c tarnel -n '__fish_seen_subcommand_from pause' -l until -x -a '(__tarnel_clock_times)' -d 'Until the next time the clock shows HH:MM'
complete -c tarnel -n '__fish_seen_subcommand_from pause' -l for -x -a '30m 1h 1h30m 2h 4h 8h' -d 'For a while: 90m, 2h, 1h30m, 45s'
complete -c tarnel -n '__fish_seen_subcommand_from resume' -l usage -d "End the usage window's hold instead"
