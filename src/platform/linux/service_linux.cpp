// Linux backend of the service manager operations: systemd.
//
// Installing writes a unit file for the service, enables it for multi-user.target and has
// systemd reload; removing stops, disables and deletes it. Queries and stop requests go
// through systemctl, systemd's own command-line client, whose output for `show` is stable
// and needs no library beyond the C runtime. The service process itself speaks systemd's
// notify datagram protocol (READY=1, STOPPING=1, STATUS=, EXTEND_TIMEOUT_USEC=) and takes
// SIGTERM as the stop control.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/linux_io.h"
#include "platform/service_manager.h"

extern char** environ;

namespace {

const char kUnitDirectory[] = "/etc/systemd/system";
const char kWantsDirectory[] = "/etc/systemd/system/multi-user.target.wants";
// The socket through which systemctl reaches the system manager as root.
const char kManagerSocket[] = "/run/systemd/private";
// Present exactly while systemd runs as the system's manager.
const char kBootedMarker[] = "/run/systemd/system";
const char kRootNeeded[] = "root is needed to install or remove a service";
// The unit's line for its recovery, as installed and as set for the recovery.
const char kNoRestart[] = "Restart=no\n";
const char kNoStartLimit[] = "StartLimitIntervalSec=0\n";  // until the recovery is set
const char kAwaitingRestart[] = "auto-restart";            // systemd's sub-state before a restart
constexpr std::size_t kUnitNameMax = 255;                  // systemd's limit, ".service" included
constexpr std::size_t kUnitSuffixChars = sizeof ".service" - 1;

std::string UnitFile(const std::string& unit) {
    return std::string(kUnitDirectory) + "/" + unit;
}
std::string WantsLink(const std::string& unit) {
    return std::string(kWantsDirectory) + "/" + unit;
}

// Runs systemctl with `args`, its standard output into `out` when given, its error output
// discarded. The exit status, or -1 with errno set when it could not be run.
int RunSystemctl(const std::vector<std::string>& args, std::string* out = nullptr) {
    std::vector<char*> argv;
    static char program[] = "systemctl";
    argv.push_back(program);
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int output[2];
    if (pipe2(output, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, program, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(output[1]);
    if (rc != 0) {
        close(output[0]);
        errno = rc;
        return -1;
    }
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(output[0], buffer, sizeof buffer);
        if (n > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    close(output[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (out) *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs a systemctl command whose failure leaves no error code of its own: EIO stands for it.
bool Systemctl(const std::vector<std::string>& args) {
    const int status = RunSystemctl(args);
    if (status == 0) return true;
    if (status > 0) errno = EIO;
    return false;
}

// The unit's active state as systemd reports it ("active", "deactivating", ...). A unit
// waiting for its restart after a failure (sub-state "auto-restart", active state
// "activating") is reported as "inactive": like Windows' service manager, which shows a
// service stopped until its failure action starts it again.
// `pid` (when not null) receives its main process, 0 when it has none.
bool ActiveState(const std::string& unit, std::string* state, std::uint32_t* pid = nullptr,
                 bool* restartPending = nullptr, std::string* account = nullptr) {
    std::string out;
    const int status = RunSystemctl({"show", "--property=ActiveState", "--property=SubState",
                                     "--property=MainPID", "--property=User", unit},
                                    &out);
    if (status != 0) {
        if (status > 0) errno = EIO;
        return false;
    }
    std::istringstream lines(out);
    std::string line, sub;
    state->clear();
    while (std::getline(lines, line)) {
        if (line.rfind("ActiveState=", 0) == 0) *state = line.substr(sizeof "ActiveState=" - 1);
        if (line.rfind("SubState=", 0) == 0) sub = line.substr(sizeof "SubState=" - 1);
        if (account && line.rfind("User=", 0) == 0) *account = line.substr(sizeof "User=" - 1);
        if (pid && line.rfind("MainPID=", 0) == 0) {
            *pid = static_cast<std::uint32_t>(std::strtoul(line.c_str() + 8, nullptr, 10));
        }
    }
    if (sub == kAwaitingRestart) *state = "inactive";
    if (restartPending) *restartPending = sub == kAwaitingRestart;
    return true;
}

// A unit the manager has loaded although its file is gone (deleted by hand while it runs).
bool RunsWithoutFile(const std::string& unit) {
    std::string load;
    return RunSystemctl({"show", "--property=LoadState", "--value", unit}, &load) == 0 &&
           load.rfind("not-found", 0) == 0;
}

bool MapActiveState(const std::string& active, ServiceState* state) {
    if (active == "active" || active == "reloading" || active == "refreshing") {
        *state = ServiceState::kRunning;
    } else if (active == "activating") {
        *state = ServiceState::kStarting;
    } else if (active == "deactivating") {
        *state = ServiceState::kStopping;
    } else if (active == "inactive" || active == "failed" || active == "maintenance") {
        *state = ServiceState::kStopped;
    } else {
        errno = EIO;
        return false;
    }
    return true;
}

// A unit name systemd accepts, made of the service name and ".service".
bool ValidUnitName(const std::string& name) {
    if (name.empty() || name.size() + kUnitSuffixChars > kUnitNameMax) return false;
    for (char c : name) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                        (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.' || c == ':';
        if (!ok) return false;
    }
    return true;
}

// A value for a unit file line: no line breaks, and '%' doubled (systemd expands %-sequences).
// Quoted for ExecStart's program path, which systemd takes as one word and never expands
// variables in: only '"' and '\' need a backslash there.
bool UnitValue(const char* text, bool quoted, std::string* out) {
    out->clear();
    if (quoted) *out += '"';
    for (const char* p = text; *p; ++p) {
        if (*p == '\n' || *p == '\r') return false;
        if (*p == '%') {
            *out += "%%";
        } else if (quoted && (*p == '"' || *p == '\\')) {
            *out += '\\';
            *out += *p;
        } else {
            *out += *p;
        }
    }
    if (quoted) *out += '"';
    return true;
}

// ---- The service process's side --------------------------------------------------------

struct Dispatcher {
    int notifySocket = -1;
    sockaddr_un address{};
    socklen_t addressLength = 0;
    std::string unitName;  // the service name systemd runs us under
    void (*handler)(ServiceControl) = nullptr;
    std::atomic<bool> stopAccepted{false};
    std::atomic<bool> stopPending{false};
    std::atomic<bool> serviceEnded{false};
    std::atomic<int> exitStatus{0};  // from the stopped report
    std::uint32_t watchdogMs = 0;    // systemd's watchdog interval, 0 when it has none
};
Dispatcher gDispatcher;

// The unit this process runs in, from its control group ("0::/system.slice/NAME.service").
bool UnitOfThisProcess(std::string* unit) {
    std::ifstream in("/proc/self/cgroup");
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t slash = line.rfind('/');
        if (slash == std::string::npos) continue;
        const std::string last = line.substr(slash + 1);
        const std::string suffix = ".service";
        if (last.size() > suffix.size() &&
            last.compare(last.size() - suffix.size(), suffix.size(), suffix) == 0) {
            *unit = last.substr(0, last.size() - suffix.size());
            return true;
        }
    }
    return false;
}

// Takes the notify socket that systemd gave this process (a path, or '@' for an abstract
// name) and removes it from the environment, so that no child inherits it.
bool OpenNotifySocket() {
    const char* name = std::getenv("NOTIFY_SOCKET");
    if (name == nullptr || name[0] == '\0') return false;
    const std::size_t length = std::strlen(name);
    if (length >= sizeof gDispatcher.address.sun_path) return false;
    gDispatcher.address.sun_family = AF_UNIX;
    std::memcpy(gDispatcher.address.sun_path, name, length);
    if (name[0] == '@') gDispatcher.address.sun_path[0] = '\0';
    gDispatcher.addressLength = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    unsetenv("NOTIFY_SOCKET");
    // The watchdog is this process's (WATCHDOG_PID, where given, says whose it is); no child
    // inherits it.
    const char* usec = std::getenv("WATCHDOG_USEC");
    const char* pid = std::getenv("WATCHDOG_PID");
    if (usec && (!pid || std::strtoul(pid, nullptr, 10) == static_cast<unsigned long>(getpid()))) {
        const unsigned long long ms = std::strtoull(usec, nullptr, 10) / 1000;
        gDispatcher.watchdogMs = ms > 0xffffffffULL ? 0xffffffffU : static_cast<std::uint32_t>(ms);
    }
    unsetenv("WATCHDOG_USEC");
    unsetenv("WATCHDOG_PID");
    gDispatcher.notifySocket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    return gDispatcher.notifySocket >= 0;
}

bool Notify(const std::string& message) {
    const ssize_t n =
        sendto(gDispatcher.notifySocket, message.data(), message.size(), MSG_NOSIGNAL,
               reinterpret_cast<const sockaddr*>(&gDispatcher.address), gDispatcher.addressLength);
    return n == static_cast<ssize_t>(message.size());
}

// The exit status that tells systemd how the service ended: 0 after a clean stop, else the
// ending's code (the platform error, or the controller's own code); never 0 for a failure,
// never above 255.
int ExitStatusFor(const ServiceReport& report) {
    if (report.ending == ServiceEnding::kClean) return 0;
    const std::uint32_t code = report.endingCode;
    return (code == 0 || code > 255) ? 1 : static_cast<int>(code);
}

}  // namespace

struct PlatformStatusHandle {};

bool PlatformReportServiceStatus(PlatformStatusHandle* handle, const ServiceReport& report) {
    // Outside the dispatcher there is no service manager to hand the record to.
    if (handle == nullptr || gDispatcher.notifySocket < 0) return true;
    const std::string& name = gDispatcher.unitName;
    std::string message;
    switch (report.state) {
        case ServiceState::kStarting:
            message = "STATUS=" + name + " starting (check point " +
                      std::to_string(report.checkPoint) + ")\nEXTEND_TIMEOUT_USEC=" +
                      std::to_string(std::uint64_t{report.waitHintMs} * 1000) + "\n";
            break;
        case ServiceState::kRunning:
            message = "READY=1\nSTATUS=" + name + " running\n";
            break;
        case ServiceState::kStopping:
            message = "STOPPING=1\nSTATUS=" + name + " stopping\n";
            break;
        case ServiceState::kStopped:
        case ServiceState::kNotInstalled: {  // the latter never reported
            // systemd takes the exit status of the process, which ends once the dispatcher
            // has returned with it.
            const int exitStatus = ExitStatusFor(report);
            gDispatcher.exitStatus = exitStatus;
            message =
                "STATUS=" + name + " stopped (exit status " + std::to_string(exitStatus) + ")\n";
            break;
        }
    }
    if (!Notify(message)) return false;
    gDispatcher.stopAccepted = report.acceptsStop;
    // A stop that arrived while no control was accepted is delivered now: wake the
    // dispatcher's thread, which takes it (or has taken it already: it is delivered once).
    if (gDispatcher.stopAccepted && gDispatcher.stopPending) kill(getpid(), SIGTERM);
    return true;
}

void PlatformServiceAlive(const char* health) {
    if (gDispatcher.notifySocket < 0) return;
    Notify("WATCHDOG=1\nSTATUS=" + gDispatcher.unitName + " running: " + health + "\n");
}

std::uint32_t PlatformServiceWatchdogMs() {
    return gDispatcher.watchdogMs;
}

PlatformStatusHandle* PlatformRegisterServiceHandler(const char*, void (*handler)(ServiceControl)) {
    if (gDispatcher.notifySocket < 0) {
        errno = ENOTCONN;
        return nullptr;
    }
    gDispatcher.handler = handler;
    static PlatformStatusHandle handle;
    return &handle;
}

bool PlatformRunServiceDispatcher(const char*, void (*serviceMain)(int, char**), int* exitStatus) {
    std::string unit;
    if (!UnitOfThisProcess(&unit) || !OpenNotifySocket()) {
        errno = ENOTCONN;  // not started by systemd as a service
        return false;
    }
    gDispatcher.unitName = unit;
    // SIGTERM is systemd's stop request. Blocked before any thread starts, it is taken only
    // here, by sigwait, so the control handler runs on this thread as on Windows' dispatcher.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    static std::vector<char> argument;
    argument.assign(unit.begin(), unit.end());
    argument.push_back('\0');
    static char* argv[] = {argument.data(), nullptr};
    std::thread service([serviceMain] {
        serviceMain(1, argv);
        gDispatcher.serviceEnded = true;
        kill(getpid(), SIGTERM);  // wakes the dispatcher's thread to return
    });
    const pid_t self = getpid();
    while (!gDispatcher.serviceEnded) {
        siginfo_t info{};
        if (sigwaitinfo(&signals, &info) < 0 || gDispatcher.serviceEnded) continue;
        // A SIGTERM from elsewhere is systemd's stop request; one sent by this process only
        // says that the service now accepts a stop that came while it was starting. While
        // starting no control is accepted (Windows would refuse it); systemd sends its
        // request once and waits, so it is kept until the service reports running.
        if (info.si_pid != self) gDispatcher.stopPending = true;
        if (gDispatcher.stopAccepted && gDispatcher.stopPending.exchange(false) &&
            gDispatcher.handler) {
            gDispatcher.handler(ServiceControl::kStop);
        }
    }
    service.join();
    *exitStatus = gDispatcher.exitStatus;
    return true;
}

struct PlatformServiceManager {};
struct PlatformService {
    std::string unit;  // "NAME.service"
};

PlatformServiceManager* PlatformOpenServiceManager() {
    // Reaching the manager's socket proves that systemd runs and lets us in; writing the
    // unit directory is what installing and removing need. Where the system's words for a
    // failure would mislead, the operator is told what is wrong instead.
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, kManagerSocket, sizeof kManagerSocket);
    const int rc = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int error = errno;
    close(fd);
    struct stat st {};
    const bool booted = stat(kBootedMarker, &st) == 0;  // systemd's own test that it runs
    if (rc != 0) {
        if (!booted) {
            ExplainNextError(error, "the service manager (systemd) is not running on this machine");
        } else if (error == EACCES || error == EPERM) {
            ExplainNextError(error, kRootNeeded);
        }
        errno = error;
        return nullptr;
    }
    if (access(kUnitDirectory, W_OK) != 0) {
        if (errno == EACCES || errno == EPERM) ExplainNextError(errno, kRootNeeded);
        return nullptr;
    }
    return new PlatformServiceManager;
}

void PlatformCloseServiceManager(PlatformServiceManager* manager) {
    delete manager;
}

namespace {

// The unit file of a new service, enabled for multi-user.target and known to systemd.
PlatformService* CreateUnit(const ServiceRegistration& registration) {
    const char* name = registration.name;
    std::string description, program;
    if (!ValidUnitName(name) || !UnitValue(registration.displayName, false, &description) ||
        !UnitValue(registration.executablePath, true, &program)) {
        errno = EINVAL;
        return nullptr;
    }
    const std::string unit = std::string(name) + ".service";
    std::string text =
        "# The controller as a systemd service, written by its -install switch and deleted\n"
        "# by -remove. Like the Windows registration: started at boot, run as root with no\n"
        "# arguments, started again after a failure (never after a clean stop), a few times\n"
        "# in a row at the most. Stopping it leaves the job starter\n"
        "# running, as on Windows. A controller whose loop stops making progress is ended by\n"
        "# the watchdog and started again. Standard output goes nowhere, as a Windows\n"
        "# service's does: the usage lines printed at every start are not the journal's.\n"
        "[Unit]\n";
    text += "Description=" + description + "\n";
    text += std::string(kNoStartLimit) + "\n[Service]\nType=notify\nNotifyAccess=main\n";
    text += "ExecStart=" + program + "\n";
    if (registration.watchdogSeconds != 0) {
        text += "WatchdogSec=" + std::to_string(registration.watchdogSeconds) + "s\n";
    }
    text += "StandardOutput=null\n";
    text += std::string(kNoRestart) + "KillMode=process\n\n[Install]\nWantedBy=multi-user.target\n";
    const std::string file = UnitFile(unit);
    const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;  // EEXIST: installed already
    const bool written = WriteAll(fd, text.data(), text.size());
    int error = errno;
    const bool closed = close(fd) == 0;
    if (written && !closed) error = errno;
    bool ok = written && closed;
    if (ok) {
        mkdir(kWantsDirectory, 0755);
        ok = symlink(file.c_str(), WantsLink(unit).c_str()) == 0;
        error = errno;
    }
    if (ok) {
        ok = Systemctl({"daemon-reload"});
        error = errno;
    }
    if (!ok) {
        unlink(WantsLink(unit).c_str());
        unlink(file.c_str());
        errno = error;
        return nullptr;
    }
    return new PlatformService{unit};
}

}  // namespace

PlatformService* PlatformOpenService(PlatformServiceManager*, const char* name) {
    const std::string unit = std::string(name) + ".service";
    struct stat st {};
    if (!ValidUnitName(name)) {
        errno = ENOENT;
        return nullptr;
    }
    if (lstat(UnitFile(unit).c_str(), &st) != 0) {
        // A unit whose file was deleted by hand while it runs is still the manager's (loaded,
        // "not-found"): it can be stopped and removed like an installed one.
        const int error = errno;
        std::string active;
        if (!ActiveState(unit, &active) || active == "inactive" || active == "failed" ||
            !RunsWithoutFile(unit)) {
            errno = error;
            return nullptr;
        }
    }
    return new PlatformService{unit};
}

bool PlatformStopService(PlatformService* handle, ServiceState* state) {
    std::string active;
    if (!ActiveState(handle->unit, &active) || !MapActiveState(active, state)) return false;
    // As on Windows, only a running service accepts the stop control; a starting one
    // accepts no control and a stopped one is not active.
    if (*state != ServiceState::kRunning) {
        errno = *state == ServiceState::kStopped ? ESRCH : EAGAIN;
        return false;
    }
    if (!Systemctl({"stop", "--no-block", handle->unit})) return false;
    *state = ServiceState::kStopping;
    return true;
}

bool PlatformServiceState(PlatformService* service, ServiceState* state) {
    std::string active;
    return ActiveState(service->unit, &active) && MapActiveState(active, state);
}

bool PlatformQueryService(const char* name, ServiceQuery* query) {
    *query = ServiceQuery{};
    PlatformService* service = PlatformOpenService(nullptr, name);
    if (!service) return true;  // no unit file: not installed
    std::string active;
    const bool ok =
        ActiveState(service->unit, &active, &query->pid, &query->restartPending, &query->account) &&
        MapActiveState(active, &query->state);
    delete service;
    return ok;
}

namespace {

// Restart=on-failure with RestartSec in the unit, and the start limit: the first start and
// the tries within the reset time (systemd counts starts, not failures; past the limit it
// leaves the unit failed and says "Start request repeated too quickly"). The unit is
// rewritten whole through a temporary file.
bool SetRecovery(PlatformService* service, const ServiceRegistration& registration,
                 const char** failedSetting) {
    *failedSetting = "Restart=on-failure";
    const std::string file = UnitFile(service->unit);
    std::ifstream in(file);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t at = text.find(kNoRestart);
    const std::size_t limit = text.find(kNoStartLimit);
    if (!in || at == std::string::npos || limit == std::string::npos) {
        errno = in ? EINVAL : errno;
        return false;
    }
    const std::uint32_t seconds = (registration.restartDelayMs + 999) / 1000;
    text.replace(at, sizeof kNoRestart - 1,
                 "Restart=on-failure\nRestartSec=" + std::to_string(seconds) + "s\n");
    text.replace(limit, sizeof kNoStartLimit - 1,
                 "StartLimitIntervalSec=" + std::to_string(registration.resetSeconds) +
                     "s\nStartLimitBurst=" + std::to_string(registration.restartTries + 1) + "\n");
    const std::string temporary = file + ".tmp";
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool written = WriteAll(fd, text.data(), text.size());
    const bool ok = close(fd) == 0 && written && rename(temporary.c_str(), file.c_str()) == 0;
    if (!ok) {
        const int error = errno;
        unlink(temporary.c_str());
        errno = error;
        return false;
    }
    return Systemctl({"daemon-reload"});
}

}  // namespace

PlatformService* PlatformInstallService(PlatformServiceManager*,
                                        const ServiceRegistration& registration,
                                        RecoveryFailure* recovery) {
    *recovery = RecoveryFailure{};
    PlatformService* service = CreateUnit(registration);
    const char* setting = nullptr;
    if (service && !SetRecovery(service, registration, &setting)) {
        recovery->setting = setting;
        recovery->error = static_cast<std::uint32_t>(errno);
    }
    return service;
}

namespace {

// The unit's drop-in folder ("systemctl edit" writes one, for example with User=): a drop-in
// left behind keeps the removed unit listed as "not-found". Its entries go (a link itself, never
// what it points to), then the folder; one that holds a folder of its own is left as it is.
void RemoveDropIns(const std::string& unit) {
    const std::string folder = UnitFile(unit) + ".d";
    DIR* dir = opendir(folder.c_str());
    if (!dir) return;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        unlinkat(dirfd(dir), name.c_str(), 0);  // fails (and stays) for a folder
    }
    closedir(dir);
    rmdir(folder.c_str());
}

}  // namespace

bool PlatformDeleteService(PlatformService* service) {
    const std::string& unit = service->unit;
    // A restart that systemd has pending after a failure is cancelled first: a removed
    // service is never started again.
    std::string sub;
    if (RunSystemctl({"show", "--property=SubState", "--value", unit}, &sub) == 0 &&
        sub.rfind(kAwaitingRestart, 0) == 0 && !Systemctl({"stop", unit})) {
        return false;
    }
    if (unlink(WantsLink(unit).c_str()) != 0 && errno != ENOENT) return false;
    if (unlink(UnitFile(unit).c_str()) != 0 && errno != ENOENT) return false;
    RemoveDropIns(unit);
    // The unit is gone from disk; systemd forgets it on reload (a unit still running is
    // forgotten once it stops, as Windows deletes a service marked for deletion).
    RunSystemctl({"reset-failed", unit});
    return Systemctl({"daemon-reload"});
}

bool PlatformStartService(PlatformService* service) {
    return Systemctl({"start", service->unit});
}

bool PlatformServicesOf(const char* executablePath, const char* namePrefix,
                        std::vector<std::string>* names) {
    names->clear();
    std::string wanted;
    if (!UnitValue(executablePath, true, &wanted)) return true;
    // Units still running whose file was deleted by hand: theirs when their process runs
    // this executable.
    std::string units;
    if (RunSystemctl({"list-units", "--all", "--plain", "--no-legend", "--type=service",
                      std::string(namePrefix) + "*"},
                     &units) == 0) {
        std::istringstream lines(units);
        std::string line;
        while (std::getline(lines, line)) {
            std::istringstream words(line);
            std::string unit, load;
            words >> unit >> load;
            std::string active;
            std::uint32_t pid = 0;
            if (load != "not-found" || !ActiveState(unit, &active, &pid) || pid == 0) continue;
            char exe[4096];
            const ssize_t n =
                readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), exe, sizeof exe - 1);
            if (n > 0 && std::string(exe, static_cast<std::size_t>(n)) == executablePath)
                names->push_back(unit.substr(0, unit.size() - sizeof ".service" + 1));
        }
    }
    DIR* dir = opendir(kUnitDirectory);
    if (!dir) return errno == ENOENT;
    const std::string prefix = namePrefix, suffix = ".service";
    while (dirent* e = readdir(dir)) {
        const std::string unit = e->d_name;
        if (unit.rfind(prefix, 0) != 0 || unit.size() <= suffix.size() ||
            unit.compare(unit.size() - suffix.size(), suffix.size(), suffix) != 0) {
            continue;
        }
        std::ifstream in(UnitFile(unit));
        std::string line;
        while (std::getline(in, line)) {
            if (line == "ExecStart=" + wanted) {
                names->push_back(unit.substr(0, unit.size() - suffix.size()));
                break;
            }
        }
    }
    closedir(dir);
    return true;
}

void PlatformCloseService(PlatformService* service) {
    delete service;
}
