# Prefix handling shared by wine-run and harness. Sourced, not run.
export WINEDEBUG=${WINEDEBUG:--all}
# Wine would offer to download Mono and Gecko into a new prefix; nothing here needs them.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

# with_lock LOCKFILE COMMAND... : runs COMMAND while holding an exclusive lock. Programs that
# COMMAND leaves running (a persistent wineserver, Wine's services) must not inherit the lock's
# descriptor, or the lock would outlive COMMAND; detached() starts them without it.
with_lock() {
    local lock=$1; shift
    ( flock 9 && "$@" ) 9>"$lock"
}

# detached COMMAND...: runs COMMAND with no standard streams and without the lock descriptor.
detached() {
    "$@" </dev/null >/dev/null 2>&1 9>&-
}

# The template's C:\windows is shared by hard links with every copy, so the harness records a
# fingerprint of it and checks after the run that no test wrote into it.
windows_fingerprint() {
    (cd "$1/drive_c/windows" && find . -type f -printf '%P %i %s %T@\n' | LC_ALL=C sort | md5sum | cut -d' ' -f1)
}

make_template() {
    local state=$1 template=$1/template
    [ -f "$template/.complete" ] && return 0
    rm -rf "$template"
    echo "harness: creating the Windows 10 template prefix (once per build tree)" >&2
    (
        export WINEPREFIX=$template
        detached wineboot -i &&
        detached wine reg add 'HKCU\Software\Wine' /v Version /d win10 /f &&
        detached wineserver -w
    ) || { echo "harness: could not create the template prefix" >&2; return 1; }
    windows_fingerprint "$template" >"$template/.windows-fingerprint"
    touch "$template/.complete"
}

ensure_template() {
    mkdir -p "$1" && with_lock "$1/template.lock" make_template "$1"
}

# copy_prefix TEMPLATE TARGET: C:\windows is hard-linked (0.07 s instead of 2 s and 700 MB);
# the registry files and the rest of drive_c are real copies that the run may change.
copy_prefix() {
    local from=$1 to=$2 item
    mkdir -p "$to/drive_c"
    cp -a "$from"/*.reg "$from/.update-timestamp" "$from/dosdevices" "$to/"
    for item in "$from"/drive_c/*; do
        if [ "$(basename "$item")" = windows ]; then
            cp -al "$item" "$to/drive_c/"
        else
            cp -a "$item" "$to/drive_c/"
        fi
    done
    touch "$to/.complete"
}

make_copy() {
    [ -f "$1/$2/.complete" ] || { rm -rf "${1:?}/$2"; copy_prefix "$1/template" "$1/$2"; }
}

ensure_copy() {
    with_lock "$1/$2.lock" make_copy "$1" "$2"
}

# start_server PREFIX LINGER: starts a persistent wineserver (LINGER 0: until killed, otherwise it
# ends LINGER seconds after its last program) and, when this call started it, Wine's own
# services. They are started detached here so that they never hold a test's output pipe, and
# once, so that a program then starts in well under a second.
start_server_locked() {
    local prefix=$1 linger=$2 persist=-p
    [ "$linger" = 0 ] || persist=-p$linger
    WINEPREFIX=$prefix detached wineserver "$persist" || return 0  # already running
    WINEPREFIX=$prefix detached wine cmd /c exit
}

start_server() {
    with_lock "$1.server.lock" start_server_locked "$1" "$2"
}

stop_server() {
    WINEPREFIX=$1 wineserver -k </dev/null >/dev/null 2>&1
    WINEPREFIX=$1 wineserver -w </dev/null >/dev/null 2>&1
    return 0
}
