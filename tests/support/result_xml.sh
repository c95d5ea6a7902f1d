# Sourced by the shell tests: writes one test case's result as GoogleTest XML, so that the
# test command counts it with the rest.   write_result_xml FILE SUITE CASE FAILURE_TEXT
#                                          write_skipped_xml FILE SUITE CASE REASON
write_result_xml() {
    local failures=0
    [ -n "$4" ] && failures=1
    cat >"$1" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<testsuites tests="1" failures="$failures" disabled="0" errors="0" name="AllTests">
  <testsuite name="$2" tests="1" failures="$failures"><testcase name="$3"/></testsuite>
</testsuites>
XML
}
write_skipped_xml() {
    cat >"$1" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<testsuites tests="1" failures="0" disabled="0" errors="0" name="AllTests">
  <testsuite name="$2" tests="1" failures="0" skipped="1"><testcase name="$3" status="run" result="skipped"><skipped message="$4"/></testcase></testsuite>
</testsuites>
XML
}
# Several cases of one suite:   write_results_xml FILE SUITE CASE FAILURE_TEXT [CASE FAILURE_TEXT]...
write_results_xml() {
    local file=$1 suite=$2 cases="" n=0 failures=0 text
    shift 2
    while [ $# -ge 2 ]; do
        n=$((n + 1))
        if [ -n "$2" ]; then
            failures=$((failures + 1))
            text=$(printf '%s' "$2" | sed 's/&/\&amp;/g; s/</\&lt;/g; s/>/\&gt;/g; s/"/\&quot;/g')
            cases="$cases<testcase name=\"$1\"><failure message=\"$text\"/></testcase>"
        else
            cases="$cases<testcase name=\"$1\"/>"
        fi
        shift 2
    done
    cat >"$file" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<testsuites tests="$n" failures="$failures" disabled="0" errors="0" name="AllTests">
  <testsuite name="$suite" tests="$n" failures="$failures">$cases</testsuite>
</testsuites>
XML
}
