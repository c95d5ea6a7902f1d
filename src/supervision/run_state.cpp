// The controller's state file (see run_state.h).
#include "supervision/run_state.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include "config/configuration.h"
#include "platform/files.h"
#include "platform/processes.h"
#include "platform/system.h"
#include "service/service_identity.h"
#include "service/status_report.h"

namespace {

constexpr std::int64_t kLatestTime = 253402300799;  // 9999-12-31 23:59:59 UTC
constexpr std::size_t kMaxDigits = 20;              // of a 64-bit number

// The file's keys, each bound to its field and the range its value must lie in: one table
// serves writing and reading.
struct Field {
    const char* key;
    std::string RunState::*text;
    std::uint32_t RunState::*u32;
    std::uint64_t RunState::*u64;
    std::int64_t RunState::*i64;
    std::int64_t least;  // the range of an i64 value
    std::int64_t most;
};
constexpr std::int64_t kMaxExitCode = 4294967295;
const Field kFields[] = {
    {"controller_pid", nullptr, &RunState::controllerPid, nullptr, nullptr, 0, 0},
    {"controller_image", &RunState::controllerImage, nullptr, nullptr, nullptr, 0, 0},
    {"controller_created", nullptr, nullptr, &RunState::controllerCreated, nullptr, 0, 0},
    {"mode", &RunState::mode, nullptr, nullptr, nullptr, 0, 0},
    {"service", &RunState::serviceName, nullptr, nullptr, nullptr, 0, 0},
    {"pipe", &RunState::pipe, nullptr, nullptr, nullptr, 0, 0},
    {"heartbeat_timeout_ms", nullptr, &RunState::heartbeatTimeoutMs, nullptr, nullptr, 0, 0},
    {"restart_on_exit", nullptr, &RunState::restartOnExit, nullptr, nullptr, 0, 0},
    {"started", nullptr, nullptr, nullptr, &RunState::started, 0, kLatestTime},
    {"job_starter", &RunState::jobStarter, nullptr, nullptr, nullptr, 0, 0},
    {"job_starter_pid", nullptr, &RunState::jobStarterPid, nullptr, nullptr, 0, 0},
    {"job_starter_created", nullptr, nullptr, &RunState::jobStarterCreated, nullptr, 0, 0},
    {"job_starter_started", nullptr, nullptr, nullptr, &RunState::jobStarterStarted, 0,
     kLatestTime},
    {"job_starter_taken_over", nullptr, nullptr, nullptr, &RunState::jobStarterTakenOver, 0,
     kLatestTime},
    {"job_starter_exited", nullptr, nullptr, nullptr, &RunState::jobStarterExited, 0, kLatestTime},
    {"job_starter_exit_code", nullptr, nullptr, nullptr, &RunState::jobStarterExitCode, -1,
     kMaxExitCode},
    {"last_heartbeat", nullptr, nullptr, nullptr, &RunState::lastHeartbeat, 0, kLatestTime},
    {"restarts", nullptr, &RunState::restarts, nullptr, nullptr, 0, 0},
    {"restarts_silence", nullptr, &RunState::restartsSilence, nullptr, nullptr, 0, 0},
    {"restarts_exit", nullptr, &RunState::restartsExit, nullptr, nullptr, 0, 0},
    {"restarts_start_failed", nullptr, &RunState::restartsStartFailed, nullptr, nullptr, 0, 0},
    {"restarts_since_heartbeat", nullptr, &RunState::restartsSinceHeartbeat, nullptr, nullptr, 0,
     0},
    {"last_restart", nullptr, nullptr, nullptr, &RunState::lastRestart, 0, kLatestTime},
    {"last_restart_cause", &RunState::lastRestartCause, nullptr, nullptr, nullptr, 0, 0},
    {"restart_due", nullptr, nullptr, nullptr, &RunState::restartDue, 0, kLatestTime},
    {"backoff_ms", nullptr, &RunState::backoffMs, nullptr, nullptr, 0, 0},
    {"ended", nullptr, nullptr, nullptr, &RunState::ended, 0, kLatestTime},
    {"hang_reports", nullptr, &RunState::hangReports, nullptr, nullptr, 0, 0},
    {"last_hang_report", &RunState::lastHangReport, nullptr, nullptr, nullptr, 0, 0},
    {"refreshed", nullptr, nullptr, nullptr, &RunState::refreshed, 0, kLatestTime},
    {"phase", &RunState::phase, nullptr, nullptr, nullptr, 0, 0},
    {"controller_starts", nullptr, &RunState::controllerStarts, nullptr, nullptr, 0, 0},
};

// A text value on one line: line breaks (never expected) become blanks.
std::string OneLine(std::string text) {
    for (char& c : text)
        if (c == '\r' || c == '\n') c = ' ';
    return text;
}

// A whole number of at most 20 digits with an optional '-': false for anything else.
bool ParseNumber(const std::string& text, bool* negative, std::uint64_t* magnitude) {
    *negative = !text.empty() && text[0] == '-';
    const std::string digits = text.substr(*negative ? 1 : 0);
    if (digits.empty() || digits.size() > kMaxDigits ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    std::uint64_t value = 0;
    for (const char c : digits) {
        const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return false;
        value = value * 10 + digit;
    }
    *magnitude = value;
    return true;
}

// Takes one value into its field; false when it is no number or out of its field's range.
bool TakeValue(const Field& f, const std::string& value, RunState* state) {
    if (f.text) {
        state->*f.text = value;
        return true;
    }
    bool negative = false;
    std::uint64_t n = 0;
    if (!ParseNumber(value, &negative, &n)) return false;
    if (f.u32) {
        if (negative || n > UINT32_MAX) return false;
        state->*f.u32 = static_cast<std::uint32_t>(n);
    } else if (f.u64) {
        if (negative) return false;
        state->*f.u64 = n;
    } else {
        if (n > static_cast<std::uint64_t>(INT64_MAX)) return false;
        const std::int64_t v =
            negative ? -static_cast<std::int64_t>(n) : static_cast<std::int64_t>(n);
        if (v < f.least || v > f.most) return false;
        state->*f.i64 = v;
    }
    return true;
}

bool Refuse(std::string* problem, const std::string& why) {
    if (problem) *problem = why;
    return false;
}

}  // namespace

std::string LocalTimeOf(std::int64_t seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    char text[32] = "?";
    if (const std::tm* tm = std::localtime(&t))
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", tm);
    return text;
}

std::string StateFilePath(const char* logPath, const char* instanceSuffix) {
    PathParts parts;
    if (!SplitPath(logPath, &parts)) return "";
    return std::string(parts.drive) + parts.dir + NamesOfInstance(instanceSuffix).stateFile;
}

std::string RunStateText(const RunState& state) {
    std::string text;
    for (const Field& f : kFields) {
        text += f.key;
        text += '=';
        if (f.text) text += OneLine(state.*f.text);
        if (f.u32) text += std::to_string(state.*f.u32);
        if (f.u64) text += std::to_string(state.*f.u64);
        if (f.i64) text += std::to_string(state.*f.i64);
        text += '\n';
    }
    return text;
}

bool WriteRunState(const std::string& path, const RunState& state) {
    return PlatformReplaceFileWith(path.c_str(), RunStateText(state));
}

bool MayRunTheController(const std::string& account, const std::string& serviceAccount) {
    if (account.empty()) return false;
    if (PlatformIsAdministrator(account) || account == PlatformOwnAccount()) return true;
    if (!serviceAccount.empty() && account == PlatformAccountId(serviceAccount)) return true;
    char exe[kPathBytes];
    return PlatformExecutablePath(exe, sizeof exe) && account == PlatformFileOwner(exe);
}

bool ReadRunState(const std::string& path, const std::string& serviceAccount, RunState* state,
                  std::string* problem, bool* missing, std::string* owner) {
    std::string text, account;
    const OwnerRule believe = [&serviceAccount](const std::string& a) {
        return MayRunTheController(a, serviceAccount);
    };
    SmallFileRead read =
        PlatformReadOwnedFile(path.c_str(), kMaxStateFileBytes, &text, believe, &account);
    // On Windows the writer may have moved the old file aside for the moment it takes to
    // move the new one to its name: a file missing is looked for once more.
    constexpr std::uint32_t kMissingRetryMs = 20;
    if (read == SmallFileRead::kMissing) {
        PlatformSleep(kMissingRetryMs);
        read = PlatformReadOwnedFile(path.c_str(), kMaxStateFileBytes, &text, believe, &account);
    }
    if (missing) *missing = read == SmallFileRead::kMissing;
    if (owner) *owner = account;
    switch (read) {
        case SmallFileRead::kRead:
            break;
        case SmallFileRead::kRefused:
            return Refuse(problem, path + ": it belongs to account " +
                                       (account.empty() ? "(unknown)" : account) +
                                       ", which does not run this installation's controller");
        case SmallFileRead::kLink:
            return Refuse(problem, path + " is a link, which is never followed");
        case SmallFileRead::kNotRegular:
            return Refuse(problem, path + " is not a regular file");
        case SmallFileRead::kTooLarge:
            return Refuse(
                problem, path + " is larger than " + std::to_string(kMaxStateFileBytes) + " bytes");
        case SmallFileRead::kMissing:
        case SmallFileRead::kFailed: {
            char error[kErrorTextBytes];
            return Refuse(problem,
                          path + ": " + FormatError(PlatformLastError(), error, sizeof error));
        }
    }
    RunState parsed;
    bool hasController = false;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        for (const Field& f : kFields) {
            if (key != f.key) continue;
            if (!TakeValue(f, value, &parsed)) {
                return Refuse(problem, path + " holds '" + line + "', which is out of range");
            }
            hasController = hasController || key == "controller_pid";
        }
    }
    if (!hasController || parsed.controllerPid == 0) {
        return Refuse(problem, path + " names no controller process");
    }
    if (parsed.jobStarterPid == 0 && parsed.jobStarterCreated != 0) {
        return Refuse(problem, path + " has a job starter creation time without its process id");
    }
    *state = parsed;
    return true;
}
