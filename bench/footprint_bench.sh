#!/bin/sh
# Memory and CPU of the running service watching a print server with many queues: a private
# cupsd in a temporary directory (socket only) with QUEUES queues, a private store with all
# six printer checks on every queue and a 5 s printer poll, and kvZNPrint /TRACE on it.
# After a settling period the process is watched for a measuring window; then its memory
# (/proc/PID/status, /proc/PID/smaps_rollup), thread count and CPU share over the window
# (utime + stime from /proc/PID/stat) are reported. Everything started here is stopped and
# the temporary directory removed at the end.
#
#   bench/footprint_bench.sh [queues] [settle-seconds] [window-seconds] [held-jobs]
#
# Defaults: 200 queues, 60 s settling, 60 s window, no jobs. FOOTPRINT_MAPS=1 also lists
# the mappings holding the most resident memory (where the anonymous memory lives). The
# program is
# $KVZN_PROGRAM, else $KVZN_BUILD_DIR/src/kvZNPrint (KVZN_BUILD_DIR defaults to ./build).
# Needs root: the scheduler runs only root-owned filters and backends. Figures are
# reported, never judged: the exit status is 1 only when the set-up failed or the service
# raised alerts (a healthy server must not alert).
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)

queues=${1:-200}
settle=${2:-60}
window=${3:-60}
jobs=${4:-0}
build="${KVZN_BUILD_DIR:-build}"
case "$build" in
    /*) ;;
    *) build="$root/$build" ;;
esac
program="${KVZN_PROGRAM:-$build/src/kvZNPrint}"
CUPSD=/usr/sbin/cupsd

if [ "$(id -u)" -ne 0 ]; then
    echo "footprint_bench: needs root (cupsd runs only root-owned filters and backends)" >&2
    exit 2
fi
for tool in "$CUPSD" lpadmin lpstat lp; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "footprint_bench: $tool is missing (scripts/install-deps.sh --test)" >&2
        exit 2
    fi
done
if [ ! -x "$program" ]; then
    echo "footprint_bench: $program not built (cmake --build build --target kvZNPrint)" >&2
    exit 2
fi

dir=$(mktemp -d /tmp/kvzn-footprint.XXXXXX)
socket="$dir/cups/cups.sock"
cupsd_pid=""
service_pid=""
sleep_pid=""

# Stops a process started here, by its id: SIG first, SIGKILL after 10 s.
stop_pid() {
    pid=$1
    sig=$2
    [ -n "$pid" ] && [ -d "/proc/$pid" ] || return 0
    kill "-$sig" "$pid" 2>/dev/null || true
    i=0
    while [ -d "/proc/$pid" ] && [ $i -lt 100 ]; do
        sleep 0.1
        i=$((i + 1))
    done
    if [ -d "/proc/$pid" ]; then
        kill -KILL "$pid" 2>/dev/null || true
    fi
    wait "$pid" 2>/dev/null || true
}
cleanup() {
    [ -z "$sleep_pid" ] || kill "$sleep_pid" 2>/dev/null || true
    stop_pid "$service_pid" INT
    stop_pid "$cupsd_pid" TERM
    rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

client() {
    CUPS_SERVER="$socket" "$@"
}
# A sleep that a signal to this script ends at once (a plain sleep would hold back the
# clean-up until it is over).
pause() {
    sleep "$1" &
    sleep_pid=$!
    wait "$sleep_pid"
    sleep_pid=""
}

# The private scheduler, set up as the tests' harness does.
mkdir -p "$dir/cups/etc" "$dir/cups/spool/tmp" "$dir/cups/cache" "$dir/cups/state" \
    "$dir/cups/log"
cat >"$dir/cups/etc/cups-files.conf" <<CONF
FileDevice Yes
PeerCred off
ServerRoot $dir/cups/etc
ServerBin /usr/lib/cups
RequestRoot $dir/cups/spool
TempDir $dir/cups/spool/tmp
CacheDir $dir/cups/cache
StateDir $dir/cups/state
ErrorLog $dir/cups/log/error_log
AccessLog $dir/cups/log/access_log
PageLog $dir/cups/log/page_log
Printcap $dir/cups/printcap
CONF
cat >"$dir/cups/etc/cupsd.conf" <<CONF
Listen $socket
LogLevel warn
AccessLogLevel all
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
"$CUPSD" -f -c "$dir/cups/etc/cupsd.conf" -s "$dir/cups/etc/cups-files.conf" \
    >"$dir/cups/log/cupsd.out" 2>&1 &
cupsd_pid=$!
i=0
until client lpstat -r 2>/dev/null | grep -q "is running"; do
    i=$((i + 1))
    if [ $i -gt 100 ] || [ ! -d "/proc/$cupsd_pid" ]; then
        echo "footprint_bench: the private scheduler did not start:" >&2
        tail -n 20 "$dir/cups/log/error_log" "$dir/cups/log/cupsd.out" >&2 2>/dev/null || true
        exit 1
    fi
    sleep 0.1
done

names=""
n=0
while [ $n -lt "$queues" ]; do
    n=$((n + 1))
    name=$(printf 'Q%03d' "$n")
    client lpadmin -p "$name" -v file:///dev/null -E
    names="$names $name"
done
printf 'Footprint document\n%.0s' $(seq 1 100) >"$dir/document.txt"
j=0
while [ $j -lt "$jobs" ]; do
    name=$(printf 'Q%03d' $((j * queues / jobs + 1)))
    client lp -d "$name" -H hold -U bench -t "Document $((j + 1))" "$dir/document.txt" \
        >/dev/null
    j=$((j + 1))
done

# The store: all six checks on every queue, with limits a healthy queue stays within; the
# built-in service checks present and off, so that only printers are checked.
store="$dir/registry.reg"
home="$dir/home"
mkdir -p "$home/images"
dword() {
    printf '"%s"=dword:%08x\n' "$1" "$2"
}
key() {
    printf '\n[HKEY_LOCAL_MACHINE\\Software\\Halvern\\Korvane Tessel Print Monitor\\CurrentVersion%s]\n' "$1"
}
{
    echo "; kvZNPrint footprint bench store"
    key ""
    printf '"Home"="%s"\n' "$home"
    printf '"DataDirectory"="%s"\n' "$home/data"
    printf '"HTMLTargetDirectory"="%s"\n' "$home/html"
    printf '"ImagesDirectory"="%s"\n' "$home/images"
    echo '"LogFile"="KVZN.LOG"'
    dword LogLevel 3
    dword PrinterInterval 5 # seconds
    dword PrintInterval 1   # minutes
    dword NotifyRunningActions 0
    for title in "Ensure Alerter service is running" "Ensure DTC service is running" \
        "Ensure Event Log service is running" "Ensure Messenger service is running" \
        "Ensure Security Accounts Manager (SAM) service is running" \
        "Ensure Print Spooler service is running" "Ensure Task Scheduler service is running" \
        "Ensure UPS service is running" "Ensure WMI service is running" \
        "Ensure Windows Time service is running"; do
        key "\\Print\\$title"
        dword Enabled 0
    done
    n=0
    for name in $names; do
        n=$((n + 1))
        key "\\Printers\\Printer$n"
        printf '"Printer"="%s"\n' "$name"
        # Title, then threshold: queue length 10, documents up to 1024 Kb and 1000 pages.
        for check in "Check Error Conditions:0" "Check Print Queue Length:10" \
            "Check Document Size (Kb):1024" "Check No of Pages in Print Document:1000" \
            "Check Printer Paused:0" "Check Printer Offline:0"; do
            key "\\Printers\\Printer$n\\${check%:*}"
            dword Enabled 1
            dword AlertLevel 4
            dword Threshold "${check##*:}"
            dword IncludePaused 1
            dword ActionToTake 0
            dword CountBeforeAction 0
            dword NonNotificationPeriod 5
            dword NotifyOwner 0
            echo '"Command"=""'
        done
    done
} >"$store"
chmod 600 "$store"

# The service in trace mode; Ctrl-C (SIGINT) stops it at the end.
CUPS_SERVER="$socket" "$program" --registry "$store" /TRACE \
    </dev/null >"$dir/trace.out" 2>&1 &
service_pid=$!
i=0
until grep -q "is now running" "$dir/trace.out" 2>/dev/null; do
    i=$((i + 1))
    if [ $i -gt 600 ] || [ ! -d "/proc/$service_pid" ]; then
        echo "footprint_bench: the service did not start; its output:" >&2
        tail -n 20 "$dir/trace.out" >&2 || true
        exit 1
    fi
    sleep 0.1
done

# utime + stime of the service, in clock ticks (fields 14 and 15 of /proc/PID/stat; the
# command name in field 2 may hold blanks, so count from the closing parenthesis).
cpu_ticks() {
    sed 's/.*) //' "/proc/$service_pid/stat" | awk '{ print $12 + $13 }'
}
# Run time of all the service's threads in nanoseconds (/proc/PID/task/*/schedstat): the
# same share as utime + stime, without their 10 ms steps.
cpu_ns() {
    cat /proc/"$service_pid"/task/*/schedstat 2>/dev/null | awk '{ n += $1 } END { printf "%.0f\n", n }'
}
passes() {
    grep -c "CUPS-Get-Printers" "$dir/cups/log/access_log" 2>/dev/null || true
}
status_kb() {
    awk -v key="$1:" '$1 == key { print $2 }' "/proc/$service_pid/status"
}
rollup_kb() {
    awk -v key="$1:" '$1 == key { print $2 }' "/proc/$service_pid/smaps_rollup"
}

pause "$settle"
ticks0=$(cpu_ticks)
ns0=$(cpu_ns)
passes0=$(passes)
start=$(date +%s.%N)
pause "$window"
ticks1=$(cpu_ticks)
ns1=$(cpu_ns)
passes1=$(passes)
end=$(date +%s.%N)
hz=$(getconf CLK_TCK)

alerts=$(find "$home/data" -name 'PRT*.err' 2>/dev/null | wc -l)
printf 'kvZNPrint footprint: %d queues, %d held jobs, all six checks, 5 s printer poll\n' \
    "$queues" "$jobs"
printf '  settled %d s, measured over %d s: %d printer passes (CUPS-Get-Printers)\n' \
    "$settle" "$window" $((passes1 - passes0))
printf '  VmRSS     %6d kB   (peak VmHWM %d kB)\n' "$(status_kb VmRSS)" "$(status_kb VmHWM)"
printf '  RssAnon   %6d kB\n' "$(status_kb RssAnon)"
printf '  RssFile   %6d kB\n' "$(status_kb RssFile)"
printf '  RssShmem  %6d kB\n' "$(status_kb RssShmem)"
printf '  Pss       %6d kB   (smaps_rollup; Anonymous %d kB, Private_Dirty %d kB)\n' \
    "$(rollup_kb Pss)" "$(rollup_kb Anonymous)" "$(rollup_kb Private_Dirty)"
printf '  VmSize    %6d kB\n' "$(status_kb VmSize)"
printf '  Threads   %6d\n' "$(status_kb Threads)"
awk -v t0="$ticks0" -v t1="$ticks1" -v hz="$hz" -v n0="$ns0" -v n1="$ns1" -v s="$start" \
    -v e="$end" 'BEGIN { printf "  CPU       %6.3f %% of one core (utime + stime; %.3f %% by schedstat)\n",
                             (t1 - t0) / hz / (e - s) * 100, (n1 - n0) / 1e9 / (e - s) * 100 }'
printf '  alerts    %6d\n' "$alerts"
if [ "${FOOTPRINT_MAPS:-0}" = 1 ]; then
    echo "  largest resident mappings (kB resident, kB size, mapping):"
    awk '/^[0-9a-f]+-[0-9a-f]+ / { name = NF >= 6 ? $6 : "[anon]" }
         $1 == "Size:" { size = $2 }
         $1 == "Rss:" && $2 > 0 { printf "    %6d %8d  %s\n", $2, size, name }' \
        "/proc/$service_pid/smaps" | sort -rn | head -n 25
fi
[ "$alerts" -eq 0 ]
