# shellcheck shell=bash disable=SC2034,SC2154  # shares variables with its callers
# Sourced by scripts/demo and scripts/screenshot-window (bash): a private Wine
# prefix, a local release site, and ways to watch and photograph windows.
#
# The caller sets, before sourcing:
#   root   the repository (absolute)
#   build  the build folder (absolute)
#   work   the folder of this run (absolute, inside the build folder)

harness=$root/tests/harness
host_dir=$build/host
windows_dir=$build/windows
demo_tools=$windows_dir/tools/demo
box_answerer=$windows_dir/tests/box_answerer.exe
release_tool=$host_dir/virelo-release
demo_key=$root/keys/demo/demo-signing-key.pem

state=$work/wine
logs=$work/logs
site_dir=$work/site

background_pids=()

# fail MESSAGE: says what went wrong and where the logs are, and ends the run
# (the EXIT trap stops everything that was started).
fail() {
    printf '\n%s: %s\n' "$(basename "$0")" "$1" >&2
    printf '%s: logs are in %s\n' "$(basename "$0")" "${logs#"$root"/}" >&2
    exit 1
}

require_built() {
    local file
    for file in "$release_tool" "$windows_dir/VireloSetup.exe" "$windows_dir/Virelo.exe" \
        "$windows_dir/standin/Virelo-1.1.0.exe" "$demo_tools/find-window.exe" \
        "$demo_tools/lnk-info.exe" "$box_answerer"; do
        [ -f "$file" ] || fail "missing ${file#"$root"/}: run 'make build' first"
    done
}

# stop_everything: ends what this run started, in any state, more than once.
stop_everything() {
    local pid
    for pid in "${background_pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${background_pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    background_pids=()
    if [ -d "$state" ]; then
        "$harness/prefix-stop" "$state" >/dev/null 2>&1 || true
    fi
}

# make_prefix: a fresh Wine prefix (and an X server when DISPLAY is unset),
# then this shell gets its environment: WINEPREFIX, HOME, DISPLAY, WINE.
make_prefix() {
    rm -rf "$state"
    "$harness/prefix-setup" "$state" >"$logs/prefix-setup.log" 2>&1 ||
        fail "could not create the Wine prefix (see prefix-setup.log)"
    # The harness keeps a pristine copy for tests; nothing here clones it.
    rm -rf "$state/pristine"
    # shellcheck source=tests/harness/wine-env
    . "$harness/wine-env" "$state"
    unset DK_SETUP_TEST  # normal mode: the real per-user names, inside this prefix
    local users
    users=$(find "$WINEPREFIX/drive_c/users" -mindepth 1 -maxdepth 1 -type d ! -name Public | head -n 1)
    [ -n "$users" ] || fail "the new prefix has no user profile"
    profile=$users
    profile_win="C:\\users\\$(basename "$profile")"
    install_dir=$profile/AppData/Local/Programs/Virelo
    install_dir_win="$profile_win\\AppData\\Local\\Programs\\Virelo"
}

# wine_tool PROGRAM ARGS...: a Windows program in the prefix, output through files.
wine_tool() {
    "$harness/wine-run" "$state" "$@"
}

# wine_text PROGRAM ARGS...: like wine_tool, for a program that prints text;
# the C runtime's CRLF line ends become LF.
wine_text() {
    local out
    out=$(wine_tool "$@") || return
    printf '%s\n' "${out//$'\r'/}"
}

# in_folder DIR COMMAND...: runs the command with DIR as its current folder
# (a Windows program started by Wine takes it as its current directory).
in_folder() {
    (cd "$1" && shift && exec "$@")
}

# start_in_background LOG COMMAND...: sets last_pid.
start_in_background() {
    local log=$1
    shift
    "$@" >"$log" 2>&1 </dev/null &
    last_pid=$!
    background_pids+=("$last_pid")
}

# wait_for_exit PID SECONDS: true when the process ended in time.
wait_for_exit() {
    local pid=$1 deadline=$((SECONDS + $2))
    while kill -0 "$pid" 2>/dev/null; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.1
    done
    wait "$pid" 2>/dev/null || true
}

# wait_for_line FILE REGEX SECONDS: prints the first matching line.
wait_for_line() {
    local file=$1 regex=$2 deadline=$((SECONDS + $3)) line
    while [ $SECONDS -lt $deadline ]; do
        if line=$(grep -m 1 -E "$regex" "$file" 2>/dev/null); then
            printf '%s\n' "$line"
            return 0
        fi
        sleep 0.1
    done
    return 1
}

# publish VERSION EXE: a signed release in the site folder, under a file name
# of its own so a client that read the previous manifest never gets new bytes.
publish() {
    "$release_tool" publish --key "$demo_key" --exe "$2" --version "$1" \
        --name "Virelo-$1.exe" --out "$site_dir" >>"$logs/publish.log" 2>&1 ||
        fail "virelo-release publish $1 failed (see publish.log)"
}

# start_site: virelo-release serve on a free loopback port; sets site_url.
# Its access log (one line per request) is $logs/server.log.
start_site() {
    start_in_background "$logs/server.log" "$release_tool" serve --root "$site_dir" --listen 127.0.0.1:0
    local line
    line=$(wait_for_line "$logs/server.log" '^listening on http://' 10) ||
        fail "virelo-release serve did not start (see server.log)"
    site_url=${line#listening on }
}

# start_slow_front SECONDS: a front before the site that spreads each
# executable download over SECONDS; sets front_url. Log: $logs/front.log.
start_slow_front() {
    start_in_background "$logs/front.log" python3 "$root/tools/demo/throttle.py" "$site_url" "$1"
    local line
    line=$(wait_for_line "$logs/front.log" '^listening on http://' 10) ||
        fail "the throttling front did not start (see front.log)"
    front_url=${line#listening on }
}

# x_window_id TITLE: the X window of a mapped Windows window with that title.
x_window_id() {
    local id
    for id in $(xwininfo -display "$DISPLAY" -root -tree 2>/dev/null |
        awk -v t="\"$1\":" 'index($0, t) { print $1 }'); do
        if xwininfo -display "$DISPLAY" -id "$id" 2>/dev/null | grep -q 'Map State: IsViewable'; then
            printf '%s\n' "$id"
            return 0
        fi
    done
    return 1
}

# wait_for_x_window TITLE SECONDS: prints the X window id once it is shown.
wait_for_x_window() {
    local deadline=$((SECONDS + $2)) id
    while [ $SECONDS -lt $deadline ]; do
        if id=$(x_window_id "$1"); then
            printf '%s\n' "$id"
            return 0
        fi
        sleep 0.1
    done
    return 1
}

# capture_window X_ID FILE: the window's content as an 8-bit PNG. Without a
# window manager there is no frame: this is the client area.
capture_window() {
    import -display "$DISPLAY" -window "$1" -depth 8 "$2" 2>>"$logs/import.log"
}

# wait_for_download_share PERCENT SECONDS: waits until the front has sent at
# least PERCENT of an executable.
wait_for_download_share() {
    local percent=$1 deadline=$((SECONDS + $2))
    while [ $SECONDS -lt $deadline ]; do
        if awk -v p="$percent" '$1 == "sent" && $2 * 100 >= $4 * p { found = 1 } END { exit !found }' \
            "$logs/front.log" 2>/dev/null; then
            return 0
        fi
        sleep 0.05
    done
    return 1
}
