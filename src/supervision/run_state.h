// What a running controller publishes about itself for -status and for monitoring scripts:
// a small file of key=value lines beside its log, one per instance ("QVLJOBCTL.STATE",
// "QVLJOBCTL3.STATE"), so instances sharing a log folder never share it. It is written
// whole to a temporary file that then replaces it, so a reader never sees a part of one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// After a heartbeat the file is rewritten only when its last write is older than this, so a
// storm of heartbeats costs almost nothing; -status allows the same lag.
constexpr std::uint32_t kStateRefreshMs = 10000;

// Times are seconds since 1970 (UTC), 0 for never. Creation times are the platform's own
// values, compared only with what PlatformProcessIdentity gives, to tell a process from a
// later one that got the same id.
struct RunState {
    std::uint32_t controllerPid = 0;
    std::string controllerImage;
    std::uint64_t controllerCreated = 0;
    std::string mode;  // "service" or "console"
    std::string serviceName;
    std::string pipe;
    std::uint32_t heartbeatTimeoutMs = 0;
    std::int64_t started = 0;
    std::string jobStarter;  // the command line it was started with
    std::uint32_t jobStarterPid = 0;
    std::uint64_t jobStarterCreated = 0;
    std::int64_t jobStarterStarted = 0;
    std::int64_t lastHeartbeat = 0;
    std::uint32_t restarts = 0;  // after a heartbeat time-out, since the run started
    std::int64_t lastRestart = 0;
    std::string lastRestartCause;
    std::int64_t ended = 0;  // set by the run's end
};

// The state file of the instance with suffix `instanceSuffix` ("" or "3") whose log is at
// `logPath`: "QVLJOBCTL<suffix>.STATE" in the log's folder.
std::string StateFilePath(const char* logPath, const char* instanceSuffix);
// Replaces the file at `path` with `state`. False when it could not (ignored by the run,
// like a failed log entry); nothing is held open afterwards.
bool WriteRunState(const std::string& path, const RunState& state);
// Reads the file at `path`; false when it is missing or unreadable. Unknown keys are
// skipped, missing ones keep their defaults.
bool ReadRunState(const std::string& path, RunState* state);
