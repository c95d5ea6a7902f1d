// The controller's state file (see run_state.h).
#include "supervision/run_state.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/configuration.h"
#include "platform/platform.h"

namespace {

// The file's keys, each bound to its field: one table serves writing and reading.
struct Field {
    const char* key;
    std::string RunState::*text;
    std::uint32_t RunState::*u32;
    std::uint64_t RunState::*u64;
    std::int64_t RunState::*i64;
};
const Field kFields[] = {
    {"controller_pid", nullptr, &RunState::controllerPid, nullptr, nullptr},
    {"controller_image", &RunState::controllerImage, nullptr, nullptr, nullptr},
    {"controller_created", nullptr, nullptr, &RunState::controllerCreated, nullptr},
    {"mode", &RunState::mode, nullptr, nullptr, nullptr},
    {"service", &RunState::serviceName, nullptr, nullptr, nullptr},
    {"pipe", &RunState::pipe, nullptr, nullptr, nullptr},
    {"heartbeat_timeout_ms", nullptr, &RunState::heartbeatTimeoutMs, nullptr, nullptr},
    {"started", nullptr, nullptr, nullptr, &RunState::started},
    {"job_starter", &RunState::jobStarter, nullptr, nullptr, nullptr},
    {"job_starter_pid", nullptr, &RunState::jobStarterPid, nullptr, nullptr},
    {"job_starter_created", nullptr, nullptr, &RunState::jobStarterCreated, nullptr},
    {"job_starter_started", nullptr, nullptr, nullptr, &RunState::jobStarterStarted},
    {"last_heartbeat", nullptr, nullptr, nullptr, &RunState::lastHeartbeat},
    {"restarts", nullptr, &RunState::restarts, nullptr, nullptr},
    {"last_restart", nullptr, nullptr, nullptr, &RunState::lastRestart},
    {"last_restart_cause", &RunState::lastRestartCause, nullptr, nullptr, nullptr},
    {"ended", nullptr, nullptr, nullptr, &RunState::ended},
};

// A text value on one line: line breaks (never expected) become blanks.
std::string OneLine(std::string text) {
    for (char& c : text)
        if (c == '\r' || c == '\n') c = ' ';
    return text;
}

}  // namespace

std::string StateFilePath(const char* logPath, const char* instanceSuffix) {
    PathParts parts;
    if (!SplitPath(logPath, &parts)) return "";
    return std::string(parts.drive) + parts.dir + "QVLJOBCTL" + instanceSuffix + ".STATE";
}

bool WriteRunState(const std::string& path, const RunState& state) {
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
    const std::string temporary = path + ".tmp";
    std::FILE* file = PlatformOpenFile(temporary.c_str(), "wb");
    if (!file) return false;
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    const bool closed = std::fclose(file) == 0;
    if (written && closed && PlatformReplaceFile(temporary.c_str(), path.c_str())) return true;
    PlatformDeleteFile(temporary.c_str());
    return false;
}

bool ReadRunState(const std::string& path, RunState* state) {
    std::FILE* file = PlatformOpenFile(path.c_str(), "rb");
    if (!file) return false;
    char line[1024];
    while (std::fgets(line, sizeof line, file)) {
        line[std::strcspn(line, "\r\n")] = '\0';
        const char* eq = std::strchr(line, '=');
        if (!eq) continue;
        const std::string key(line, static_cast<std::size_t>(eq - line)), value(eq + 1);
        for (const Field& f : kFields) {
            if (key != f.key) continue;
            if (f.text) state->*f.text = value;
            if (f.u32)
                state->*f.u32 =
                    static_cast<std::uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
            if (f.u64) state->*f.u64 = std::strtoull(value.c_str(), nullptr, 10);
            if (f.i64) state->*f.i64 = std::strtoll(value.c_str(), nullptr, 10);
        }
    }
    std::fclose(file);
    return true;
}
