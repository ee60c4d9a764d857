#!/bin/sh
# Installs what is missing, builds kvZNPrint and runs it in trace mode on a private demo
# configuration: store, home, data, HTML and images directories below ./demo, and (as
# root) a private print server below ./demo/cups with four printers to watch: a healthy
# one, a jammed one, a paused one and one with held jobs. Stop it with Ctrl-C; the print
# server stops with it.
#
# KVZN_BUILD_DIR=DIR builds and runs the program in DIR instead of ./build.
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
build="${KVZN_BUILD_DIR:-build}"
case "$build" in
    /*) program="$build/src/kvZNPrint" ;;
    *) program="$root/$build/src/kvZNPrint" ;;
esac

if [ "$(id -u)" -eq 0 ]; then
    ./scripts/install-deps.sh --test  # the test set brings the print server programs
else
    ./scripts/install-deps.sh
fi

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target kvZNPrint

demo="$root/demo"
cups="$demo/cups"
store="$demo/registry.reg"
mkdir -p "$demo/home" "$demo/images" "$demo/journal"
cp "$root"/data/images/* "$demo/images/"  # the pages' icons
touch "$demo/home/app.log"

# The private print server, stopped however the program ends.
printers=no
trap './scripts/demo-cups.sh stop "$cups"' EXIT
# Ctrl-C reaches kvZNPrint too; the shell waits for it to finish its shut-down.
trap ':' INT TERM
if [ "$(id -u)" -ne 0 ]; then
    echo "NOTE: not running as root, so the demo runs without its private print server"
    echo "      (cupsd runs only root-owned filters and backends). No printers are watched."
elif ./scripts/demo-cups.sh start "$cups"; then
    printers=yes
else
    echo "NOTE: the private print server could not be started (see above); the demo runs"
    echo "      without it. No printers are watched."
fi

dword() {
    printf '"%s"=dword:%08x\n' "$1" "$2"
}
key() {
    printf '\n[HKEY_LOCAL_MACHINE\\Software\\Halvern\\Korvane Tessel Print Monitor\\CurrentVersion%s]\n' "$1"
}
# One check of a printer: key suffix, then Enabled, AlertLevel, Threshold, IncludePaused.
# Alerts only (no response), on the first failure, then quiet for 5 minutes.
printer_check() {
    key "$1"
    dword Enabled "$2"
    dword AlertLevel "$3"
    dword Threshold "$4"
    dword IncludePaused "$5"
    dword ActionToTake 0
    dword CountBeforeAction 0
    dword NonNotificationPeriod 5
    dword NotifyOwner 0
    echo '"Command"=""'
}
# A monitored printer: entry number, queue name, then the seven checks' settings
# ("Enabled AlertLevel Threshold IncludePaused" each, in the order of the arguments below).
printer() {
    n=$1
    name=$2
    key "\\Printers\\Printer$n"
    printf '"Printer"="%s"\n' "$name"
    base="\\Printers\\Printer$n"
    shift 2
    for title in "Check Error Conditions" "Check Print Queue Length" \
        "Check Document Size (Kb)" "Check No of Pages in Print Document" \
        "Check Printer Paused" "Check Printer Offline" "Check Stalled Printing"; do
        # shellcheck disable=SC2086
        printer_check "$base\\$title" $1
        shift
    done
}

# The store is written at every start (the alert slot counter is kept), so that it always
# matches the print server started above.
slot=""
if [ -f "$store" ]; then
    slot=$(grep -i '^"StoredMsgNo"=' "$store" || true)
fi
{
    echo "; kvZNPrint demo configuration store, written by scripts/demo.sh at every start."
    key ""
    printf '"Home"="%s"\n' "$demo/home"
    printf '"DataDirectory"="%s"\n' "$demo/home/data"
    printf '"HTMLTargetDirectory"="%s"\n' "$demo/home/html"
    printf '"ImagesDirectory"="%s"\n' "$demo/images"
    echo '"LogFile"="KVZN.LOG"'
    dword LogLevel 4
    dword MaxStoredMsgs 50
    dword PrinterInterval 10  # seconds
    dword PrintInterval 1     # minutes
    dword NotifyRunningActions 0
    if [ -n "$slot" ]; then
        echo "$slot"
    fi
    # The built-in service checks exist (a missing one is reported at start) but are off:
    # they would watch this machine's own services, not the demo's print server.
    for title in "Ensure Alerter service is running" "Ensure DTC service is running" \
        "Ensure Event Log service is running" "Ensure Messenger service is running" \
        "Ensure Security Accounts Manager (SAM) service is running" \
        "Ensure Print Spooler service is running" "Ensure Task Scheduler service is running" \
        "Ensure UPS service is running" "Ensure WMI service is running" \
        "Ensure Windows Time service is running"; do
        key "\\Print\\$title"
        dword Enabled 0
    done
    if [ "$printers" = yes ]; then
        # Every printer has all seven checks, with limits a healthy queue stays within:
        # at most 5 waiting jobs (held ones included), documents up to 1024 Kb and 500 pages,
        # a printing job that shows no progress for more than a minute.
        # Level 4 (mask 8) for printer errors, level 3 (mask 4) for the rest.
        for entry in "1 Office-Laser" "2 Jammed-Copier" "3 Paused-Plotter" \
            "4 Held-Jobs-Printer" "5 Switched-Off-Printer"; do
            # shellcheck disable=SC2086
            printer $entry "1 8 0 0" "1 4 5 1" "1 4 1024 0" "1 4 500 0" "1 4 0 0" "1 8 0 0" \
                "1 8 1 0"
        done
    fi
    # A text log and the event log: lines with "error" in demo/home/app.log, and journal
    # entries with "paper" in the journal files of demo/journal (KVZN_JOURNAL_DIR).
    key "\\LOGS\\Log1"
    dword LogType 3
    dword Enabled 1
    printf '"File"="%s"\n' "$demo/home/app.log"
    echo '"Name"="Demo application errors"'
    echo '"KeywordInclude1"="error"'
    dword AlertLevel 4
    key "\\LOGS\\Log2"
    dword LogType 0
    dword Enabled 1
    echo '"File"="Application"'
    echo '"Name"="Demo paper problems"'
    echo '"KeywordInclude1"="paper"'
    dword AlertLevel 4
} >"$store.tmp"
chmod 600 "$store.tmp"
mv "$store.tmp" "$store"

echo "Configuration store: $store"
echo "Activity log:        $demo/home/KVZN.LOG"
echo "Alert records:       $demo/home/data/PRT*.err"
echo "Watched log file:    $demo/home/app.log (try: echo 'disk error' >> $demo/home/app.log)"
echo "Watched journal:     $demo/journal (journal files written there, for example by"
echo "                     /lib/systemd/systemd-journal-remote -o $demo/journal/demo.journal -)"
export KVZN_JOURNAL_DIR="$demo/journal"
status=0
if [ "$printers" = yes ]; then
    CUPS_SERVER="$cups/cups.sock" "$program" --registry "$store" /TRACE || status=$?
else
    "$program" --registry "$store" /TRACE || status=$?
fi
exit "$status"
