#!/usr/bin/env bash
# The alert rules the packages ship: promtool checks them and runs their unit tests
# (alert_rules.test.yml: every alert firing on its series, none on a healthy instance).
#   alert_rules_test.sh RESULT_XML
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../support/result_xml.sh"
result=$1
if ! command -v promtool >/dev/null; then
    write_skipped_xml "$result" AlertRules CheckedAndTested "promtool is not installed"
    exit 0
fi
failure=""
out=$(promtool check rules "$here/../../packaging/prometheus/qvljobctl-rules.yml" 2>&1) ||
    failure="check rules: $out"
echo "$out"
out=$(cd "$here" && promtool test rules alert_rules.test.yml 2>&1) || failure="$failure test rules: $out"
echo "$out"
# Every alert says what the values are and where the guide says what to do: its runbook_url
# names a section of the guide that exists.
rules="$here/../../packaging/prometheus/qvljobctl-rules.yml"
guide="$here/../../docs/OPERATORS-GUIDE.md"
for alert in $(sed -n 's/^ *- alert: //p' "$rules"); do
    anchor=$(echo "$alert" | tr '[:upper:]' '[:lower:]')
    block=$(awk -v a="$alert" '$0 ~ "- alert: " { on = ($3 == a) } on' "$rules")
    echo "$block" | grep -q '^ *description: "[^"]' || failure="$failure $alert has no description;"
    echo "$block" | grep -qx " *runbook_url: \"OPERATORS-GUIDE.md#$anchor\"" ||
        failure="$failure $alert has no runbook_url of its own;"
    grep -qx "#### $alert" "$guide" || failure="$failure the guide has no section $alert;"
done
write_result_xml "$result" AlertRules CheckedAndTested "$failure"
[ -z "$failure" ] || { echo "FAILED: $failure"; exit 1; }
