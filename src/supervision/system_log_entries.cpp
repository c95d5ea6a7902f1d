// The supervision's warnings for the system's log (see system_log_entries.h).
#include "supervision/system_log_entries.h"

#include <string>
#include <utility>
#include <vector>

#include "service/service_identity.h"

namespace {

// A kind of warning: its event id (as events.mc numbers it: severity warning, facility 0),
// its journal MESSAGE_ID, and its text with the insertion strings' places %1, %2, ..., word
// for word as the message table has it.
struct WarningKind {
    std::uint32_t messageId;
    const char* journalId;
    const char* text;
};
const WarningKind kRestart = {
    0x80000100, "55e7eb5da81446dca54fd9b1f627a7fe",
    "%1 restarted its job starter %2 after %3. The old process %4 (exit code %5) is gone; the "
    "new one is process %6."};
const WarningKind kKillFailed = {0x80000101, "85315ee426d7455a88845aa6ecedc8bf",
                                 "%1 could not run %2 to end its job starter: %3"};
const WarningKind kForcedEnd = {
    0x80000102, "c0cb179fbbf0459caf154185c6adb326",
    "%1 ended its job starter %2, process %3, by its own hand (%4): %5"};

const WarningKind kTakenOver = {
    0x80000103, "a4160d60243247ce8aeb3deb65afee96",
    "%1 took over its job starter %2, process %3, which its previous run left running."};
const WarningKind kUncleanEnd = {
    0x80000104, "932a8aefc5d34d6ea3bc6fc04750a5b6",
    "%1 started again after its previous run, process %2, ended without a stop: that run last "
    "wrote its state at %3, while %4."};

// The entry of `kind` with `inserts` after the service's name, and the fields after the
// service's and the instance's.
WarningEntry EntryOf(const WarningKind& kind, const std::vector<std::string>& inserts,
                     const std::vector<std::pair<std::string, std::string>>& fields) {
    WarningEntry e{kind.messageId, kind.journalId, "", {gServiceIdentity.serviceName}, {}};
    e.inserts.insert(e.inserts.end(), inserts.begin(), inserts.end());
    e.fields = {{"QVL_SERVICE", gServiceIdentity.serviceName},
                {"QVL_INSTANCE", gServiceIdentity.instanceSuffix}};
    e.fields.insert(e.fields.end(), fields.begin(), fields.end());
    for (const char* p = kind.text; *p != '\0'; ++p) {
        if (*p == '%' && p[1] >= '1' && p[1] <= '9') {
            const std::size_t n = static_cast<std::size_t>(p[1] - '1');
            e.text += n < e.inserts.size() ? e.inserts[n] : "";
            ++p;
        } else {
            e.text += *p;
        }
    }
    return e;
}

std::string Known(std::int64_t value) {
    return value < 0 ? "unknown" : std::to_string(value);
}
std::string KnownPid(std::uint32_t pid) {
    return pid == 0 ? "none" : std::to_string(pid);
}

}  // namespace

WarningEntry RestartEntry(const std::string& image, const std::string& cause,
                          const std::string& causeText, std::uint32_t oldPid, std::int64_t exitCode,
                          std::uint32_t newPid, const std::string& hangReport) {
    std::vector<std::pair<std::string, std::string>> fields = {{"QVL_CAUSE", cause}};
    if (oldPid != 0) fields.push_back({"QVL_JOB_STARTER_PID", std::to_string(oldPid)});
    if (exitCode >= 0) fields.push_back({"QVL_EXIT_CODE", std::to_string(exitCode)});
    if (newPid != 0) fields.push_back({"QVL_NEW_JOB_STARTER_PID", std::to_string(newPid)});
    if (!hangReport.empty()) fields.push_back({"QVL_HANG_REPORT", hangReport});
    const std::string why =
        hangReport.empty() ? causeText : causeText + " (hang report " + hangReport + ")";
    return EntryOf(kRestart, {image, why, KnownPid(oldPid), Known(exitCode), KnownPid(newPid)},
                   fields);
}

WarningEntry KillFailedEntry(const std::string& command, const std::string& error) {
    return EntryOf(kKillFailed, {command, error}, {{"QVL_COMMAND", command}, {"QVL_ERROR", error}});
}

WarningEntry ForcedEndEntry(const std::string& image, std::uint32_t pid, const std::string& why,
                            const std::string& outcome) {
    return EntryOf(kForcedEnd, {image, std::to_string(pid), why, outcome},
                   {{"QVL_JOB_STARTER_PID", std::to_string(pid)},
                    {"QVL_REASON", why},
                    {"QVL_OUTCOME", outcome}});
}

WarningEntry TakenOverEntry(const std::string& commandLine, std::uint32_t pid) {
    return EntryOf(kTakenOver, {commandLine, std::to_string(pid)},
                   {{"QVL_JOB_STARTER_PID", std::to_string(pid)}});
}

WarningEntry UncleanEndEntry(std::uint32_t pid, const std::string& lastWrite,
                             const std::string& doing) {
    return EntryOf(kUncleanEnd, {std::to_string(pid), lastWrite, doing},
                   {{"QVL_PREVIOUS_PID", std::to_string(pid)},
                    {"QVL_LAST_WRITE", lastWrite},
                    {"QVL_PHASE", doing}});
}
