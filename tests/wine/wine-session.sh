# Sourced by the Wine runs: one Wine session in a prefix of its own, every command under a time
# limit, and Wine's own trace of the session's system processes (the Plug and Play manager and
# the drivers live in them) collected in one file.
#
#   wine_session_start WORK_DIR [SECONDS]   makes WORK_DIR/prefix and starts the session, which
#                                           lasts SECONDS after its last program (default 300;
#                                           "forever": until wine_session_end)
#   wine_session_join WORK_DIR     the environment of the session WORK_DIR holds
#   wine_run SECONDS PROGRAM ARGS...   runs a Win32 program; 124 when it ran out of time
#   wine_session_end               ends every process of the session (callers trap it on exit)
#
# WINE_TRACE is the trace file. WDMUSB_WINEDEBUG changes the channels traced in it.

# warn+module: the loader binds an import that Wine lacks to a stub and says so only as a warning.
wine_trace_channels=${WDMUSB_WINEDEBUG:-err+all,warn+module,warn+plugplay,+plugplay,+loaddll,+ntoskrnl,warn+debugstr}
# The programs' own messages: errors only, without the complaints about having no display.
wine_program_channels=err+all,-winediag,-systray

wine_session_join() {
    export WINEPREFIX=$1/prefix WINEARCH=win32 WINEDLLOVERRIDES="mscoree,mshtml="
    WINE_TRACE=$1/wine-trace.log
}

wine_session_start() {
    local persist=${2:-300}
    wine_session_join "$1"
    mkdir -p "$WINEPREFIX"
    : >"$WINE_TRACE"
    # The prefix is made in a session of its own, which must end before ours starts: a driver
    # installed while the new prefix's first session is still settling is not started (setupapi
    # then fails to open the service it has just added).
    WINEDEBUG=-all timeout --kill-after=10 120 wineboot -i >/dev/null 2>&1 || return 1
    timeout 60 wineserver -w || return 1
    # A persistent server keeps the drivers loaded between our commands: without it the session,
    # and every driver in it, ends 3 s after the last program. A time bounds what a run killed
    # before its end leaves behind. The session's system processes (the Plug and Play manager and
    # the drivers among them) write their trace to the file of the program that started them.
    if [[ $persist == forever ]]; then
        wineserver -p || return 1
    else
        wineserver -p"$persist" || return 1
    fi
    WINEDEBUG=$wine_trace_channels timeout --kill-after=10 60 wineboot >>"$WINE_TRACE" 2>&1
}

wine_run() {
    local seconds=$1 status
    shift
    WINEDEBUG=$wine_program_channels timeout --kill-after=5 "$seconds" wine "$@"
    status=$?
    if ((status == 124 || status == 137)); then
        echo "FAIL: '$*' did not finish within $seconds s"
        return 124
    fi
    return $status
}

wine_session_end() {
    if [[ -n ${WINEPREFIX:-} ]]; then
        timeout 30 wineserver -k 2>/dev/null
        timeout 30 wineserver -w 2>/dev/null
    fi
    return 0
}

# The size of the trace now, to show what a step added to it later.
wine_trace_mark() { stat -c %s "$WINE_TRACE"; }

# The trace since MARK, without the loader's lines for Wine's own DLLs.
wine_trace_since() {
    tail -c +$(($1 + 1)) "$WINE_TRACE" | grep -v -E ':trace:loaddll:.*system32\\\\[a-z0-9_]+\.(dll|exe)'
}
