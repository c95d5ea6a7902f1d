// The service-manager port: a service process's side (the dispatcher, its control handler,
// the status it reports) and an installer's side (install a service with its recovery, open,
// stop, start, delete it, ask how it runs). Windows' service control manager, or systemd on
// Linux. Handles are typed and opaque; every call sets the last error on failure, for
// FormatLastError.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A service's state as its manager shows it.
enum class ServiceState { kNotInstalled, kStopped, kStarting, kStopping, kRunning };

// ---- The service process's side --------------------------------------------------------

// What the manager asks of the running service: to stop, or anything else (Windows'
// interrogation and the like), which the service answers by reporting its state again.
enum class ServiceControl { kStop, kOther };

// How a service ended, told with its stopped report: cleanly, with the platform error of the
// step that failed, or with a code of the controller's own where no platform error says why.
enum class ServiceEnding { kClean, kPlatformError, kOwnCode };

// What the service tells its manager: its state; whether it takes a stop now; while starting
// or stopping, the step it has reached (rising with every such report) and how long the next
// may take; when stopped, how it ended (Windows: the service's status record; Linux: a
// notification and, once stopped, the exit status systemd sees).
struct ServiceReport {
    ServiceState state = ServiceState::kStopped;
    bool acceptsStop = false;
    std::uint32_t checkPoint = 0;
    std::uint32_t waitHintMs = 0;
    ServiceEnding ending = ServiceEnding::kClean;
    std::uint32_t endingCode = 0;  // the platform error or the own code; 0 when clean
};
// What registering the control handler gives, to report the status under.
struct PlatformStatusHandle;
// Registers the service's control handler under `name`; the status handle, or null.
PlatformStatusHandle* PlatformRegisterServiceHandler(const char* name,
                                                     void (*handler)(ServiceControl control));
// Hands a report to the service manager. True on success. It always returns: the
// stopped report is the service's last word, and the process ends when the dispatcher has
// returned (see PlatformRunServiceDispatcher).
bool PlatformReportServiceStatus(PlatformStatusHandle* handle, const ServiceReport& report);
// While the service runs: tells the service manager that its loop makes progress, with
// `health` (a few words) as the status it shows (Linux: WATCHDOG=1 and STATUS=; Windows has
// no such thing: nothing). Nothing outside the dispatcher.
void PlatformServiceAlive(const char* health);
// How often the service manager wants to hear PlatformServiceAlive at the least, in
// milliseconds: its watchdog interval (Linux: WATCHDOG_USEC), 0 when it wants nothing.
std::uint32_t PlatformServiceWatchdogMs();
// Hands the calling thread to the service dispatcher, which calls `serviceMain` on a thread
// of its own with the service manager's arguments. Returns true when the service has stopped,
// with the status the process is to exit with in `exitStatus` (Windows: 0; Linux: the one
// systemd is to see, from the stopped report: 0 for a clean end, else its code, 1 when that
// is 0 or above 255). False at once, with the last error set, when the process was not
// started by the service manager.
bool PlatformRunServiceDispatcher(const char* name, void (*serviceMain)(int argc, char** argv),
                                  int* exitStatus);

// ---- An installer's side ---------------------------------------------------------------

struct PlatformServiceManager;
struct PlatformService;
// The service manager's database, for installing and removing services. Null on failure.
PlatformServiceManager* PlatformOpenServiceManager();
void PlatformCloseServiceManager(PlatformServiceManager* manager);

// A service as the controller installs it: its own process, started automatically, run as
// the system's account with no arguments, and restarted by the service manager
// `restartDelayMs` after a failure (a crash, or a stop with a non-zero exit code) but never
// after a clean stop, `restartTries` times at the most, then left stopped; the count of
// failures starts again after `resetSeconds` without one (Windows: that many restart actions,
// then none, with their flag; Linux: Restart=on-failure, RestartSec, and a start limit of the
// first start and the tries within that many seconds).
// Where the manager has a watchdog (Linux: WatchdogSec), a service that has not said it makes
// progress (PlatformServiceAlive) for `watchdogSeconds` is ended and counts as failed; its
// standard output goes nowhere, as a Windows service's does.
struct ServiceRegistration {
    const char* name;
    const char* displayName;
    const char* executablePath;  // as it is; the backend quotes it for the manager
    std::uint32_t restartDelayMs;
    std::uint32_t restartTries;
    std::uint32_t resetSeconds;
    std::uint32_t watchdogSeconds = 0;  // 0: none
};
// A recovery setting the manager refused: the service is installed all the same.
struct RecoveryFailure {
    const char* setting = nullptr;  // null when every setting was made
    std::uint32_t error = 0;
};
// Installs the service; null (last error set) when the manager refused it.
PlatformService* PlatformInstallService(PlatformServiceManager* manager,
                                        const ServiceRegistration& registration,
                                        RecoveryFailure* recovery);
PlatformService* PlatformOpenService(PlatformServiceManager* manager, const char* name);
// Sends the stop control; true when the service accepted it. `state` receives its state.
bool PlatformStopService(PlatformService* service, ServiceState* state);
bool PlatformServiceState(PlatformService* service, ServiceState* state);
// Starts an installed service and, on Linux, waits until it reports running (Windows: the
// service manager's start; it reports its state later). False when the manager refused it.
bool PlatformStartService(PlatformService* service);
bool PlatformDeleteService(PlatformService* service);
void PlatformCloseService(PlatformService* service);

// Service `name` as the service manager has it, asked with a user's rights only: its state
// (not installed when there is no such service), while it has a process that
// process's id (0 otherwise), the account it runs as, and whether the manager is about to start it
// again after a failure (systemd's "auto-restart"; Windows shows no such thing). False, with the
// last error set, when the manager cannot be asked.
struct ServiceQuery {
    ServiceState state = ServiceState::kNotInstalled;
    std::uint32_t pid = 0;
    bool restartPending = false;
    std::string account;  // the account it runs as; "" for the system's own (root, LocalSystem)
};
bool PlatformQueryService(const char* name, ServiceQuery* query);
// The names of the installed services whose names begin with `namePrefix` (the product's
// base service name) and whose registered executable is `executablePath`: the instances of
// one installation.
// False, with the last error set, when the manager cannot be asked.
bool PlatformServicesOf(const char* executablePath, const char* namePrefix,
                        std::vector<std::string>* names);
