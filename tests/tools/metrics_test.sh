#!/usr/bin/env bash
# The controller's metrics as Prometheus' own tools see them: -metrics of an instance that
# does not run, a healthy one and an unhealthy one, and the file the controller writes to
# QVLMETRICSDIR, all pass promtool check metrics. On Linux (in the suite's own namespaces) a
# real node_exporter scrapes that file through its textfile collector, and the restart counter
# it shows grows after forced restarts. With RUNNER (Wine) the Windows build writes the file.
#   metrics_test.sh BIN_DIR RESULT_XML [RUNNER]
set -u
. "$(dirname "$0")/../support/result_xml.sh"
bin=$1 result=$2 runner=${3:-}
failure=""
fail() { failure="${failure}$1; "; }
if ! command -v promtool >/dev/null; then
    write_skipped_xml "$result" Metrics PrometheusToolsReadThem "promtool is not installed"
    exit 0
fi
dir=$(mktemp -d)
if [ -n "$runner" ]; then
    exe=QVLJOBCTL.EXE kill=KILL.EXE ext=.exe
    here=$(cd "$(dirname "$0")/../.." && pwd)
    export WINEPREFIX="${WINEPREFIX:-$here/build/win32/wineprefix}" WINEDEBUG=-all
else
    exe=qvljobctl kill=KILL ext=""
fi
run() { (cd "$dir" && exec $runner "$@"); }
cp "$bin/$exe" "$bin/$kill" "$dir/"
run "$bin/qvlcrypt$ext" record DB 0 DB_SYSTEM Oracle >"$dir/QUARVELIN.INI"
mkdir "$dir/prom"
prom="$dir/prom/qvljobctl.prom"
service='service="QUARVELIN_JOB_CONTROLLER"'

check() {  # check WHAT FILE
    local out
    out=$(promtool check metrics <"$2" 2>&1) || fail "$1: promtool check metrics: $out"
}
# Waits up to 30 s until the metrics file holds a line matching the pattern.
await() {
    for _ in $(seq 1 300); do
        grep -qE "$1" "$prom" 2>/dev/null && return 0
        sleep 0.1
    done
    fail "the metrics file never held $1"
    return 1
}
start() {  # start JOB_STARTER TIMEOUT_MS
    cp "$bin/$1$ext" "$dir/QVLJOBSTR_ORACLE.EXE"
    printf '[JOBATR]\r\nQVLTIMEOUT=%s\r\nQVLMETRICSDIR=prom\r\n' "$2" >"$dir/QVLJOBCTL.INI"
    rm -f "$prom"
    (cd "$dir" && QVLJOBSTR_EVERY=1 exec $runner "./$exe" -debug >"$dir/console.txt" 2>&1) &
    controller=$!
}
stop() {
    kill -INT "$controller" 2>/dev/null
    for _ in $(seq 1 100); do kill -0 "$controller" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$controller" 2>/dev/null
    run "./$kill" QVLJOBSTR_ORACLE.EXE >/dev/null 2>&1
}
scrape() {  # scrape: node_exporter's page, through bash's own TCP
    exec 3<>/dev/tcp/127.0.0.1/19101 || return 1
    printf 'GET /metrics HTTP/1.0\r\nHost: localhost\r\n\r\n' >&3
    cat <&3
    exec 3<&-
}
restarts() { scrape | sed -n "s/^qvljobctl_job_starter_restarts_total{cause=\"silence\",$service} //p"; }

run "./$exe" -metrics >"$dir/down.txt"
check "not running" "$dir/down.txt"
grep -qx "qvljobctl_up{$service} 0" "$dir/down.txt" || fail "not running: qvljobctl_up is not 0"

exporter=""
if [ -z "$runner" ]; then
    prometheus-node-exporter --web.listen-address=127.0.0.1:19101 --collector.disable-defaults \
        --collector.textfile --collector.textfile.directory="$dir/prom" >"$dir/exporter.txt" 2>&1 &
    exporter=$!
fi

# Healthy: the sample job starter heartbeats every second.
start qvljobstr_sample 5000
if await "^qvljobctl_last_heartbeat_timestamp_seconds\{$service\} [1-9]"; then
    run "./$exe" -metrics >"$dir/healthy.txt"
    check "healthy" "$dir/healthy.txt"
    check "the file of a healthy one" "$prom"
    grep -qx "qvljobctl_healthy{$service} 1" "$dir/healthy.txt" || fail "healthy: -metrics disagrees"
    printf '%s' "$(tail -c 1 "$prom" | od -An -c)" | grep -q '\\n' || fail "no final line feed"
    if [ -n "$exporter" ]; then
        page=$(scrape)
        echo "$page" | grep -qx "qvljobctl_up{$service} 1" || fail "node_exporter shows no qvljobctl_up 1"
        echo "$page" | grep -qx "node_textfile_scrape_error 0" || fail "node_exporter: a scrape error"
        echo "== healthy, as scraped through node_exporter"; echo "$page" | grep '^qvljobctl_'
    fi
fi
stop
# A clean stop (Ctrl+C: Linux; under Wine the stop may be a kill) takes the file with it, so
# that the instance's series end and no alert fires for an instance stopped on purpose.
if [ -z "$runner" ]; then
    [ ! -e "$prom" ] || fail "a clean stop left its metrics file behind"
    if [ -n "$exporter" ] && scrape | grep -q "^qvljobctl_up{$service}"; then
        fail "node_exporter still shows the stopped instance"
    fi
fi

# Unhealthy: a job starter that never heartbeats, restarted at every time-out of a second.
start fake_job_starter 1000
if await "$service,cause=\"silence\"\} [1-9]"; then
    first=$( [ -n "$exporter" ] && restarts )
    await "$service,cause=\"silence\"\} ([3-9]|[1-9][0-9])" &&
        await "^qvljobctl_healthy\{$service\} 0$"
    run "./$exe" -metrics >"$dir/unhealthy.txt"
    check "unhealthy" "$dir/unhealthy.txt"
    check "the file of an unhealthy one" "$prom"
    if [ -n "$exporter" ]; then
        second=$(restarts)
        [ "${second:-0}" -gt "${first:-0}" ] ||
            fail "the restart counter did not grow in node_exporter's scrapes ($first, then $second)"
        echo "== crash-looping, as scraped through node_exporter"; scrape | grep '^qvljobctl_'
    fi
fi
stop
[ -n "$exporter" ] && kill "$exporter"
rm -rf "$dir"
write_result_xml "$result" Metrics PrometheusToolsReadThem "$failure"
[ -z "$failure" ] || { echo "FAILED: $failure"; exit 1; }
echo passed
