// Status reports (check points, controls accepted, console mode) and error reporting.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/service_manager.h"
#include "platform/system.h"
#include "service/service_identity.h"
#include "service/status_report.h"
#include "supervision/system_log_entries.h"
#include "support/test_support.h"

namespace {

// Kept first in this executable: the check-point counter is process-wide and starts at 1.
TEST(StatusReport, CheckPointsRiseAcrossThePendingStatesOfTheProcess) {
    gConsoleMode = false;
    const std::uint32_t states[] = {kServiceStartPending, kServiceStartPending, kServiceRunning,
                                    kServiceStopPending,  kServiceStopPending,  kServiceStopped};
    const std::uint32_t checkPoints[] = {1, 2, 0, 3, 4, 0};
    const std::uint32_t controls[] = {
        0, 0, kServiceAcceptStop, kServiceAcceptStop, kServiceAcceptStop, kServiceAcceptStop};
    for (int i = 0; i < 6; ++i) {
        // The fourth report re-reports the current state, as the answer to an interrogation.
        ReportStatusToSCMgr(states[i], i == 5 ? 7u : 0u, 3000);
        const ServiceStatusRecord s = CurrentServiceStatus();
        EXPECT_EQ(states[i], s.currentState) << i;
        EXPECT_EQ(checkPoints[i], s.checkPoint) << i;
        EXPECT_EQ(controls[i], s.controlsAccepted) << i;
        EXPECT_EQ(3000u, s.waitHint);
        EXPECT_EQ(kServiceWin32OwnProcess, s.serviceType);
    }
    EXPECT_EQ(7u, CurrentServiceStatus().win32ExitCode);
}

TEST(StatusReport, ConsoleModeHandsNothingOverAndAlwaysSucceeds) {
    gConsoleMode = true;
    const ServiceStatusRecord before = CurrentServiceStatus();
    EXPECT_TRUE(ReportStatusToSCMgr(kServiceStartPending, 0, 3000));
    EXPECT_TRUE(ReportStatusToSCMgr(kServiceRunning, 0, 3000));
    const ServiceStatusRecord after = CurrentServiceStatus();
    EXPECT_EQ(0, std::memcmp(&before, &after, sizeof before));
    gConsoleMode = false;
    ReportStatusToSCMgr(kServiceStopPending, 0, 0);
    EXPECT_EQ(5u, CurrentServiceStatus().checkPoint) << "console reports consumed no check point";
}

TEST(ErrorEvent, KeepsItsErrorOutsideConsoleModeOnly) {
    gConsoleMode = false;
    ReportErrorEvent("test entry from the status reporting tests", 5);
    EXPECT_EQ(5u, gLastErrorCode);
    gConsoleMode = true;
    ReportErrorEvent("not written in console mode", 2);
    EXPECT_EQ(5u, gLastErrorCode);
    gConsoleMode = false;
}

TEST(FormatError, SystemTextThenTheCodeInHexadecimal) {
    char buf[kErrorTextBytes];
    const std::string text = FormatError(2, buf, sizeof buf);
    ASSERT_GT(text.size(), 6u);
    EXPECT_EQ(" (0x2)", text.substr(text.size() - 6));
    EXPECT_EQ(std::string::npos, text.find_first_of("\r\n"));
    std::string raw;
    ASSERT_TRUE(PlatformSystemErrorText(2, &raw));
    EXPECT_EQ(raw.substr(0, raw.size() - 2) + " (0x2)", text);
    // The largest size that is still too small: the text's length plus 13.
    std::string small(raw.size() + 13, 'x');
    EXPECT_STREQ("", FormatError(2, &small[0], small.size()));
    std::string exact(raw.size() + 14, 'x');
    EXPECT_EQ(text, std::string(FormatError(2, &exact[0], exact.size())));
}

TEST(FormatError, HexadecimalIsLowerCaseWithoutLeadingZeros) {
    char buf[kErrorTextBytes];
    const std::string text = FormatError(0x431, buf, sizeof buf);
    if (!text.empty()) {
        EXPECT_EQ(" (0x431)", text.substr(text.size() - 8));
    }
    const std::string lower = FormatError(0x2a, buf, sizeof buf);
    if (!lower.empty()) {
        EXPECT_EQ(" (0x2a)", lower.substr(lower.size() - 7));
    }
}

// The warnings of the supervision: their text for the journal is, word for word, the message
// table's text with the same insertion strings (Windows: read back from the controller's
// executable); their fields carry the values alone.
TEST(WarningEvent, TheTextIsTheMessageTablesAndTheFieldsCarryTheValues) {
    TakeRunIdentity("QUARVELIN_JOB_CONTROLLER3");
    const struct {
        WarningEntry entry;
        const char* text;
        std::vector<std::string> fields;
    } rows[] = {
        {RestartEntry("QVLJOBSTR_ORACLE.EXE", "exit", "the job starter exited", 41, 7, 42),
         "QUARVELIN_JOB_CONTROLLER3 restarted its job starter QVLJOBSTR_ORACLE.EXE after the job "
         "starter exited. The old process 41 (exit code 7) is gone; the new one is process 42.",
         {"QVL_INSTANCE=3", "QVL_CAUSE=exit", "QVL_JOB_STARTER_PID=41", "QVL_EXIT_CODE=7",
          "QVL_NEW_JOB_STARTER_PID=42"}},
        {RestartEntry("QVLJOBSTR_ORACLE.EXE", "silence", "no heartbeat for 1000 ms", 41, -1, 0),
         "QUARVELIN_JOB_CONTROLLER3 restarted its job starter QVLJOBSTR_ORACLE.EXE after no "
         "heartbeat for 1000 ms. The old process 41 (exit code unknown) is gone; the new one is "
         "process none.",
         {"QVL_CAUSE=silence", "QVL_JOB_STARTER_PID=41"}},
        {KillFailedEntry("KILL 41", "File not found. (0x2)"),
         "QUARVELIN_JOB_CONTROLLER3 could not run KILL 41 to end its job starter: File not "
         "found. (0x2)",
         {"QVL_COMMAND=KILL 41", "QVL_ERROR=File not found. (0x2)"}},
        {ForcedEndEntry("QVLJOBSTR_ORACLE.EXE", 41, "it still ran after KILL", "ended"),
         "QUARVELIN_JOB_CONTROLLER3 ended its job starter QVLJOBSTR_ORACLE.EXE, process 41, by "
         "its own hand (it still ran after KILL): ended",
         {"QVL_JOB_STARTER_PID=41", "QVL_REASON=it still ran after KILL", "QVL_OUTCOME=ended"}},
        {TakenOverEntry("QVLJOBSTR_ORACLE.EXE 3", 41),
         "QUARVELIN_JOB_CONTROLLER3 took over its job starter QVLJOBSTR_ORACLE.EXE 3, process 41, "
         "which its previous run left running.",
         {"QVL_JOB_STARTER_PID=41"}},
        {UncleanEndEntry(40, "2026-12-10 10:00:00", "listening"),
         "QUARVELIN_JOB_CONTROLLER3 started again after its previous run, process 40, ended "
         "without a stop: that run last wrote its state at 2026-12-10 10:00:00, while listening.",
         {"QVL_PREVIOUS_PID=40", "QVL_PHASE=listening"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(row.text, row.entry.text);
        std::vector<std::string> fields;
        for (const auto& field : row.entry.fields)
            fields.push_back(field.first + "=" + field.second);
        EXPECT_EQ("QVL_SERVICE=QUARVELIN_JOB_CONTROLLER3", fields.front());
        for (const std::string& field : row.fields)
            EXPECT_NE(fields.end(), std::find(fields.begin(), fields.end(), field)) << field;
        if (kSystemd) continue;  // Linux has no message table
        EXPECT_EQ(std::string(row.text) + "\r\n",
                  ModuleMessageText(BuiltExecutable("QVLJOBCTL"), row.entry.messageId,
                                    row.entry.inserts));
    }
}

}  // namespace
