#!/usr/bin/env bash
# End-to-end service lifecycle of the Windows build under Wine, in a prefix of its own:
# install silently, start through the service manager, the start line in the daily log, stop, the stop
# line, uninstall; a second install fails with 1073 (seen through a relay trace of MessageBoxW, since a
# message box under headless Wine returns at once); run directly, the program ends and writes the
# service-controller error under the application event source.
#   tests/wine/service_lifecycle.sh TELVA4_AUDIT_EXE PREFIX_DIR
set -u
exe=$(readlink -f "$1")
export WINEPREFIX=$2
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
logs="$WINEPREFIX.logs"
mkdir -p "$logs"
errors="$logs/wine-stderr.txt"
: >"$errors"
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# One Wine call: bounded in time, no stdin, stderr kept aside.
w() { timeout 120 wine "$@" </dev/null 2>>"$errors"; }

if [ ! -f "$WINEPREFIX/.telva-ready" ]; then
    mkdir -p "$WINEPREFIX"
    timeout 300 wineboot -i </dev/null >>"$errors" 2>&1
    timeout 120 wineserver -w </dev/null >>"$errors" 2>&1
    touch "$WINEPREFIX/.telva-ready"
fi

# A persistent wineserver: otherwise Wine ends the service when the last client process exits.
timeout 30 wineserver -p </dev/null >>"$errors" 2>&1
cleanup() {
    timeout 60 wine "$exe" /UNINSTALL /SILENT </dev/null >/dev/null 2>&1
    timeout 60 wineserver -k </dev/null >/dev/null 2>&1
}
trap cleanup EXIT

state() { w sc query TELVA4Audit | sed -n 's/.*STATE *: *\([0-9]*\).*/\1/p'; }

wait_state() {
    local wanted=$1 i
    for i in $(seq 1 60); do
        [ "$(state)" = "$wanted" ] && return 0
        sleep 1
    done
    return 1
}

log_dir="$WINEPREFIX/drive_c/windows/temp"
wait_log() {
    local text=$1 i
    for i in $(seq 1 30); do
        cat "$log_dir"/log_*.txt 2>/dev/null | grep -q "$text" && return 0
        sleep 1
    done
    return 1
}

# Message boxes are seen through a relay trace of MessageBoxW.
w reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /t REG_SZ /d 'user32.MessageBoxW' /f >/dev/null
boxes() { WINEDEBUG=+relay timeout 120 wine "$@" </dev/null 2>&1 >/dev/null | grep -a 'Call user32.MessageBoxW'; }

# A leftover registration from an interrupted run would make the first install fail.
w "$exe" /UNINSTALL /SILENT >/dev/null
rm -f "$log_dir"/log_*.txt

shown=$(boxes "$exe" /INSTALL /SILENT)
[ -z "$shown" ] || fail "silent install showed a message: $shown"
[ "$(state)" = 1 ] || fail "installed service is not stopped"
# The registration as the service manager keeps it.
w reg query 'HKLM\System\CurrentControlSet\Services\TELVA4Audit' | tr -d '\r' >"$logs/registration.txt"
windows_path="Z:$(echo "$exe" | tr / '\\')"
for expected in "DisplayName    REG_SZ    TELVA Audit Life Count Manager" "Start    REG_DWORD    0x2" \
    "Type    REG_DWORD    0x10" "ErrorControl    REG_DWORD    0x1" "ObjectName    REG_SZ    LocalSystem" \
    "ImagePath    REG_SZ    $windows_path"; do
    grep -qF "$expected" "$logs/registration.txt" || fail "registration lacks '$expected'"
done

w net start TELVA4Audit >/dev/null
wait_state 4 || fail "service did not reach RUNNING (state $(state))"
wait_log "Service started, IP " || fail "no start line in the daily log"

w net stop TELVA4Audit >/dev/null
wait_state 1 || fail "service did not reach STOPPED (state $(state))"
wait_log "Service stopped, IP " || fail "no stop line in the daily log"

shown=$(boxes "$exe" /UNINSTALL /SILENT)
[ -z "$shown" ] || fail "silent uninstall showed a message: $shown"
[ -z "$(state)" ] || fail "service still registered after uninstall"

w "$exe" /INSTALL /SILENT >/dev/null
shown=$(boxes "$exe" /INSTALL /SILENT)
echo "$shown" | grep -q 'failed to install with error: \\"System Error.  Code: 1073.\\r\\n' ||
    fail "second install did not report 1073: $shown"
w "$exe" /UNINSTALL /SILENT >/dev/null

# Started directly, the dispatcher cannot connect (1063): the program ends with status 0 and writes the
# system's text under the executable's name.
WINEDEBUG=err+eventlog,fixme+advapi timeout 60 wine "$exe" </dev/null >/dev/null 2>"$logs/direct.txt"
status=$?
[ "$status" = 0 ] || fail "direct run ended with $status"
grep -q 'RegisterEventSourceW ((null),L"telva4_audit.exe")' "$logs/direct.txt" ||
    fail "no application event source: $(tail -5 "$logs/direct.txt")"
grep -q 'ReportEventW L"Service controller connect failed"' "$logs/direct.txt" ||
    fail "no 1063 text in the event log: $(tail -5 "$logs/direct.txt")"

if [ "$failures" -ne 0 ]; then
    echo "--- daily log"
    cat "$log_dir"/log_*.txt 2>/dev/null
    echo "--- wine stderr (tail)"
    tail -n 30 "$errors"
    exit 1
fi
echo "service lifecycle under Wine: all checks passed"
