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
