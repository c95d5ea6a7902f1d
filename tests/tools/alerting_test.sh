#!/usr/bin/env bash
# The shipped alerting chain end to end, on loopback in the suite's own namespaces: a console
# controller whose job starter never heartbeats (time-out 1 s) writes its metrics file;
# node_exporter's textfile collector serves it; Prometheus scrapes it every second with the
# shipped rules; the shipped Alertmanager example, its receivers pointed at a local webhook,
# routes the alerts. The job starter's silence reaches the webhook as a firing
# QvlHeartbeatOverdue (critical), and once a heartbeating job starter has taken its place, as
# resolved; the times from the silence to each notification are printed. Meanwhile every
# query of the shipped Grafana dashboard is asked of that Prometheus and must give series.
#   alerting_test.sh BIN_DIR RESULT_XML
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../support/result_xml.sh"
bin=$1 result=$2
shipped="$here/../../packaging/prometheus"
for tool in prometheus prometheus-node-exporter prometheus-alertmanager python3 curl jq; do
    if ! command -v "$tool" >/dev/null; then
        write_skipped_xml "$result" Alerting ChainEndToEnd "$tool is not installed"
        exit 0
    fi
done
if [ "${QVL_TEST_NAMESPACE:-0}" != 1 ]; then
    write_skipped_xml "$result" Alerting ChainEndToEnd "loopback ports of the suite's own need its namespace"
    exit 0
fi
failure=""
fail() { failure="${failure}$1; "; echo "FAILED: $1"; }
dir=$(mktemp -d)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
    wait 2>/dev/null
    rm -rf "$dir"
}
trap cleanup EXIT
now() { date +%s%3N; }

# The webhook: each notification's body as one line of JSON.
cat >"$dir/webhook.py" <<'EOF'
import http.server, json, sys
class Sink(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        with open(sys.argv[2], "a") as out:
            out.write(json.dumps({"path": self.path, "body": json.loads(body)}) + "\n")
        self.send_response(200)
        self.end_headers()
    def log_message(self, *args):
        pass
http.server.HTTPServer(("127.0.0.1", int(sys.argv[1])), Sink).serve_forever()
EOF
python3 "$dir/webhook.py" 19099 "$dir/notifications" & pids+=($!)

# The controller, its job starter silent for good.
mkdir "$dir/prom"
cp "$bin/qvljobctl" "$bin/KILL" "$dir/"
cp "$bin/fake_job_starter" "$dir/QVLJOBSTR_ORACLE.EXE"
"$bin/qvlcrypt" record DB 0 DB_SYSTEM Oracle >"$dir/QUARVELIN.INI"
printf '[JOBATR]\r\nQVLTIMEOUT=1000\r\nQVLMETRICSDIR=prom\r\n' >"$dir/QVLJOBCTL.INI"
silent_since=$(now)
(cd "$dir" && QVLJOBSTR_EVERY=1 exec ./qvljobctl -debug >"$dir/console.txt" 2>&1) & pids+=($!)

prometheus-node-exporter --web.listen-address=127.0.0.1:19101 --collector.disable-defaults \
    --collector.textfile --collector.textfile.directory="$dir/prom" >"$dir/exporter.txt" 2>&1 &
pids+=($!)
sed -e 's|http://pager.example.com:9099/|http://127.0.0.1:19099/|' \
    -e 's|http://tickets.example.com:9099/|http://127.0.0.1:19099/|' \
    "$shipped/alertmanager-example.yml" >"$dir/alertmanager.yml"
prometheus-alertmanager --config.file="$dir/alertmanager.yml" --storage.path="$dir/am" \
    --web.listen-address=127.0.0.1:19093 --cluster.listen-address= >"$dir/am.txt" 2>&1 &
pids+=($!)
cat >"$dir/prometheus.yml" <<EOF
global: {scrape_interval: 1s, evaluation_interval: 1s}
rule_files: ["$shipped/qvljobctl-rules.yml"]
alerting: {alertmanagers: [{static_configs: [{targets: ["127.0.0.1:19093"]}]}]}
scrape_configs:
  - job_name: node
    static_configs: [{targets: ["127.0.0.1:19101"]}]
EOF
prometheus --config.file="$dir/prometheus.yml" --storage.tsdb.path="$dir/tsdb" \
    --web.listen-address=127.0.0.1:19090 >"$dir/prometheus.txt" 2>&1 & pids+=($!)

# Waits up to $1 seconds for a notification of QvlHeartbeatOverdue with status $2; prints the
# milliseconds from the silence's start.
notified() {
    local deadline=$(($(date +%s) + $1))
    while [ "$(date +%s)" -lt "$deadline" ]; do
        if [ -f "$dir/notifications" ] && jq -c --arg s "$2" 'select(.path == "/critical"
                and .body.status == $s and (.body.alerts[] | .labels.alertname == "QvlHeartbeatOverdue"))' \
                "$dir/notifications" 2>/dev/null | grep -q .; then
            echo $(($(now) - silent_since))
            return 0
        fi
        sleep 0.5
    done
    return 1
}

if firing=$(notified 240 firing); then
    echo "silence to the firing notification: $firing ms"
    jq -c 'select(.body.status == "firing") | .body.alerts[] |
        {alertname: .labels.alertname, severity: .labels.severity, description: .annotations.description,
         runbook_url: .annotations.runbook_url}' "$dir/notifications" | head -3
else
    fail "no firing QvlHeartbeatOverdue reached the webhook within 240 s"
    tail -n 5 "$dir/prometheus.txt" "$dir/am.txt"
fi

# Every panel's query of the dashboard, with its instance variable at "All".
queries=$(jq -r '.panels[].targets[].expr' "$shipped/qvljobctl-dashboard.json")
[ -n "$queries" ] || fail "the dashboard has no queries"
while IFS= read -r expr; do
    q=${expr//\$service/.*}
    answer=$(curl -sG --data-urlencode "query=$q" http://127.0.0.1:19090/api/v1/query)
    if ! echo "$answer" | jq -e '.status == "success" and (.data.result | length > 0)' >/dev/null; then
        fail "the dashboard's query gives no series: $expr ($(echo "$answer" | head -c 200))"
    fi
done <<<"$queries"
echo "the dashboard's $(echo "$queries" | wc -l) queries each give series"

# A heartbeating job starter takes the silent one's place at its next restart.
cp "$bin/qvljobstr_sample" "$dir/sample.new" && mv "$dir/sample.new" "$dir/QVLJOBSTR_ORACLE.EXE"
heard_since=$(now)
if resolved=$(notified 240 resolved); then
    echo "first heartbeats to the resolved notification: $((resolved - (heard_since - silent_since))) ms"
else
    fail "no resolved QvlHeartbeatOverdue reached the webhook within 240 s"
fi
write_result_xml "$result" Alerting ChainEndToEnd "$failure"
[ -z "$failure" ] || exit 1
echo passed
