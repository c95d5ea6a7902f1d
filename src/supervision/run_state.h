// What a running controller publishes about itself for -status and for monitoring scripts:
// a small file of key=value lines beside its log, one per instance ("QVLJOBCTL.STATE",
// "QVLJOBCTL3.STATE"), so instances sharing a log folder never share it. It is written
// whole to a new file of a unique name that then replaces it, so a reader never sees a part
// of one and no name placed there beforehand is ever followed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The file is rewritten at least this often, also while nothing happens, so that a frozen
// controller shows (its file grows old); after a heartbeat it is rewritten only when its last
// write is older than this, so a storm of heartbeats costs almost nothing. -status allows the
// same lag for the heartbeat's time.
constexpr std::uint32_t kStateRefreshMs = 10000;
// A controller whose file is older than this has missed three refreshes: it no longer makes
// progress (stopped, or stuck in a call), whatever the file says of the job starter. -status
// says so at once; the shipped alert (QvlJobControllerNotResponding, qvljobctl-rules.yml)
// waits 60 s instead, the time a frozen controller takes to be ended by its watch or the
// watchdog and started again, so that it pages only for a controller nothing recovered.
constexpr std::int64_t kRefreshOverdueSeconds = 3 * kStateRefreshMs / 1000;
// A state file is a few hundred bytes; a reader takes nothing larger (nor anything that is
// not a regular file) for one.
constexpr std::size_t kMaxStateFileBytes = 8192;

// Why a restart came, as the state file and -status name it.
constexpr char kCauseSilence[] = "silence";
constexpr char kCauseExit[] = "exit";
constexpr char kCauseStartFailed[] = "start_failed";

// Times are seconds since 1970 (UTC), 0 for never. Creation times are the platform's own
// values, compared only with what PlatformProcessFacts gives, to tell a process from a
// later one that got the same id.
struct RunState {
    std::uint32_t controllerPid = 0;
    std::string controllerImage;
    std::uint64_t controllerCreated = 0;
    std::string mode;  // "service" or "console"
    std::string serviceName;
    std::string pipe;
    std::uint32_t heartbeatTimeoutMs = 0;
    std::uint32_t restartOnExit = 0;  // QVLRESTARTONEXIT in force
    std::int64_t started = 0;
    std::string jobStarter;  // the command line it was started with
    std::uint32_t jobStarterPid = 0;
    std::uint64_t jobStarterCreated = 0;
    std::int64_t jobStarterStarted = 0;    // 0 while a restart is under way
    std::int64_t jobStarterTakenOver = 0;  // when it was taken over from the previous run
    std::int64_t jobStarterExited = 0;     // when the job starter ended by itself, 0 while it runs
    std::int64_t jobStarterExitCode = -1;  // its exit code, -1 where the system gives none
    std::int64_t lastHeartbeat = 0;
    std::uint32_t restarts = 0;  // since the run started, for every cause
    std::uint32_t restartsSilence = 0;
    std::uint32_t restartsExit = 0;
    std::uint32_t restartsStartFailed = 0;
    std::uint32_t restartsSinceHeartbeat = 0;  // restarts in a row without a heartbeat
    std::int64_t lastRestart = 0;
    std::string lastRestartCause;
    std::int64_t restartDue = 0;    // when a restart after an exit or a failed start is due
    std::uint32_t backoffMs = 0;    // the delay before that restart
    std::int64_t ended = 0;         // set by the run's end
    std::uint32_t hangReports = 0;  // reports of hung job starters written by the run
    std::string lastHangReport;     // the newest of them
    std::int64_t refreshed = 0;  // when the file was written (0: by a controller that did not say)
    // What the run was doing at that write: its loop's phase ("listening", "kill pause", ...),
    // "starting" before the loop, "" from a controller that did not say.
    std::string phase;
    // How many times a controller of the instance has started, carried over from run to run
    // through the file (the count starts again where the file was lost or not believed).
    std::uint32_t controllerStarts = 0;
};

// A time of the file in local time, "2026-12-10 10:00:00" ("?" where it cannot be shown).
std::string LocalTimeOf(std::int64_t seconds);

// The state file of the instance with suffix `instanceSuffix` ("" or "3") whose log is at
// `logPath`: "QVLJOBCTL<suffix>.STATE" in the log's folder.
std::string StateFilePath(const char* logPath, const char* instanceSuffix);
// The file's text for `state`.
std::string RunStateText(const RunState& state);
// Replaces the file at `path` with `state`. False, with the last error set, when it could not;
// nothing is held open afterwards.
bool WriteRunState(const std::string& path, const RunState& state);
// Whether a state file owned by `account` is believed: only an account that may run this
// installation's controller writes one (an administrator, the account the service manager
// runs the instance as, `serviceAccount` by the manager's name for it, the owner of the
// controller's executable, or the reader itself, whose own console run it may be). Anyone
// may write a file into a log folder that everyone may write to. The same rule tells whose
// process may serve the instance's pipe.
bool MayRunTheController(const std::string& account, const std::string& serviceAccount);
// Reads the file at `path`, under the rule above: a file another account owns, or a link at
// its name, is refused before a byte of it is read, and none of its content is quoted. False,
// with the reason in plain words in `problem`, when it is refused, missing, not a regular
// file, larger than kMaxStateFileBytes, or holds a value out of range (a negative or
// non-numeric number, a time past the year 9999, a process id of 0 with a creation time) or
// no controller at all. Unknown keys are skipped, missing ones keep their defaults. `missing`
// (when not null) is set when there is no such file at all; `owner` (when not null) receives
// the account that owns it.
bool ReadRunState(const std::string& path, const std::string& serviceAccount, RunState* state,
                  std::string* problem = nullptr, bool* missing = nullptr,
                  std::string* owner = nullptr);
