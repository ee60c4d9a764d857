#!/bin/sh
# The demo's private print server: a cupsd of its own below DIR (configuration, state,
# spool and logs), serving the socket DIR/cups.sock only, with four printers in the states
# the demo shows. The machine's own CUPS is never touched: every client call here names
# the private socket.
#
#   demo-cups.sh start DIR   set up DIR afresh, start the scheduler, add the printers
#   demo-cups.sh stop DIR    stop the scheduler started for DIR
#
# Needs root: the scheduler runs its filters and backends only when they belong to root,
# and it changes to the "lp" user for them.
set -eu

usage() {
    echo "usage: $0 start|stop DIR" >&2
    exit 2
}
[ $# -eq 2 ] || usage
action=$1
dir=$2
case "$dir" in
    /*) ;;
    *) dir="$(pwd)/$dir" ;;
esac
socket="$dir/cups.sock"
pidfile="$dir/cupsd.pid"
CUPSD=/usr/sbin/cupsd

# The scheduler started for DIR, when it still runs: its command line names DIR's files.
running_pid() {
    [ -f "$pidfile" ] || return 1
    pid=$(cat "$pidfile")
    [ -n "$pid" ] && [ -r "/proc/$pid/cmdline" ] || return 1
    tr '\0' ' ' <"/proc/$pid/cmdline" | grep -qF -- "-c $dir/etc/cupsd.conf" || return 1
    echo "$pid"
}

stop() {
    if pid=$(running_pid); then
        kill -CONT "$pid" 2>/dev/null || true
        kill -TERM "$pid" 2>/dev/null || true
        i=0
        while [ -d "/proc/$pid" ] && [ $i -lt 50 ]; do
            sleep 0.1
            i=$((i + 1))
        done
        if [ -d "/proc/$pid" ]; then
            kill -KILL "$pid" 2>/dev/null || true
        fi
        echo "Demo print server stopped."
    fi
    rm -f "$pidfile"
}

client() {
    CUPS_SERVER="$socket" "$@"
}

start() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "demo-cups: not running as root; the private print server needs root (cupsd" >&2
        echo "demo-cups: runs only root-owned filters and backends)." >&2
        return 3
    fi
    for program in "$CUPSD" lpadmin lp lpstat cupsdisable; do
        if ! command -v "$program" >/dev/null 2>&1; then
            echo "demo-cups: $program is missing (Debian packages cups-daemon and cups-client)." >&2
            return 4
        fi
    done
    if [ ${#socket} -ge 108 ]; then
        echo "demo-cups: the socket path $socket is too long for a local socket." >&2
        return 5
    fi
    stop >/dev/null

    rm -rf "$dir"
    mkdir -p "$dir/etc" "$dir/spool/tmp" "$dir/cache" "$dir/state" "$dir/log"
    cat >"$dir/etc/cups-files.conf" <<CONF
# Private demo print server: every file below $dir.
FileDevice Yes
PeerCred off
ServerRoot $dir/etc
ServerBin /usr/lib/cups
RequestRoot $dir/spool
TempDir $dir/spool/tmp
CacheDir $dir/cache
StateDir $dir/state
ErrorLog $dir/log/error_log
AccessLog $dir/log/access_log
PageLog $dir/log/page_log
Printcap $dir/printcap
CONF
    # Only the local socket; anyone on this machine may administer it, and job owners and
    # names are shown to every client (the monitor reports them).
    cat >"$dir/etc/cupsd.conf" <<CONF
Listen $socket
LogLevel info
Browsing No
WebInterface No
DefaultPolicy open
<Policy open>
  JobPrivateAccess all
  JobPrivateValues none
  SubscriptionPrivateAccess all
  SubscriptionPrivateValues none
  <Limit All>
    Order deny,allow
  </Limit>
</Policy>
CONF

    "$CUPSD" -F -c "$dir/etc/cupsd.conf" -s "$dir/etc/cups-files.conf" \
        >"$dir/log/cupsd.out" 2>&1 &
    echo $! >"$pidfile"
    # lpstat -r exits 0 without a scheduler too; only its text tells.
    i=0
    until client lpstat -r 2>/dev/null | grep -q "is running"; do
        i=$((i + 1))
        if [ $i -gt 100 ] || ! running_pid >/dev/null; then
            echo "demo-cups: the private scheduler did not start; its log:" >&2
            tail -n 20 "$dir/log/error_log" "$dir/log/cupsd.out" 2>/dev/null >&2 || true
            stop >/dev/null
            return 6
        fi
        sleep 0.1
    done

    printf 'Demo document\n%.0s' $(seq 1 200) >"$dir/document.txt"
    # A healthy printer: jobs go to /dev/null at once.
    client lpadmin -p Office-Laser -v file:///dev/null -E \
        -D "Healthy printer" -L "Second floor"
    # A jammed printer.
    client lpadmin -p Jammed-Copier -v file:///dev/null -E \
        -D "Copier with a paper jam" -L "Reception"
    client lpadmin -p Jammed-Copier -o printer-state-reasons=media-jam-error
    # A paused printer.
    client lpadmin -p Paused-Plotter -v file:///dev/null -E \
        -D "Plotter paused by an operator" -L "Drawing office"
    client cupsdisable -r "Paused for maintenance" Paused-Plotter
    # A printer with held jobs: they wait until someone releases them.
    client lpadmin -p Held-Jobs-Printer -v file:///dev/null -E \
        -D "Printer with held jobs" -L "Payroll"
    for job in "alice:Quarterly report" "bob:Cheque run" "carol:Staff rota"; do
        client lp -d Held-Jobs-Printer -H hold -U "${job%%:*}" -t "${job#*:}" \
            "$dir/document.txt" >/dev/null
    done
    # A network printer that is switched off: nothing answers on its port, so its job stays
    # "processing" while the backend retries.
    client lpadmin -p Switched-Off-Printer -v socket://127.0.0.1:9 -E \
        -D "Network printer that is switched off" -L "Warehouse"
    client lp -d Switched-Off-Printer -U dave -t "Delivery notes" "$dir/document.txt" >/dev/null
    echo "Demo print server running on $socket (pid $(cat "$pidfile")):"
    client lpstat -p | sed 's/^/  /'
}

case "$action" in
    start) start ;;
    stop) stop ;;
    *) usage ;;
esac
