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
write_result_xml "$result" AlertRules CheckedAndTested "$failure"
[ -z "$failure" ] || { echo "FAILED: $failure"; exit 1; }
