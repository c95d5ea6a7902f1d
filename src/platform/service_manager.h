// The service-manager port: a service process's side (the dispatcher, its control handler,
// the status it reports) and an installer's side (install a service with its recovery, open,
// stop, start, delete it, ask how it runs). Windows' service control manager, or systemd on
// Linux. Handles are typed and opaque; every call sets the last error on failure, for
// FormatLastError.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The values of the status record and of the controls, in Windows' numbering, which the
// Linux backend maps onto systemd.
constexpr std::uint32_t kServiceWin32OwnProcess = 0x10;
constexpr std::uint32_t kServiceStopped = 1;
constexpr std::uint32_t kServiceStartPending = 2;
constexpr std::uint32_t kServiceStopPending = 3;
constexpr std::uint32_t kServiceRunning = 4;
constexpr std::uint32_t kServiceAcceptStop = 1;
constexpr std::uint32_t kServiceControlStop = 1;
// ERROR_SERVICE_SPECIFIC_ERROR: the exit code that points at the service-specific code.
constexpr std::uint32_t kErrorServiceSpecific = 1066;

// ---- The service process's side --------------------------------------------------------

// The platform's SERVICE_STATUS record, fields in its order.
struct ServiceStatusRecord {
    std::uint32_t serviceType;
    std::uint32_t currentState;
    std::uint32_t controlsAccepted;
    std::uint32_t win32ExitCode;
    std::uint32_t serviceSpecificExitCode;
    std::uint32_t checkPoint;
    std::uint32_t waitHint;
};
// What registering the control handler gives, to report the status under.
struct PlatformStatusHandle;
// Registers the service's control handler under `name`; the status handle, or null.
PlatformStatusHandle* PlatformRegisterServiceHandler(const char* name,
                                                     void (*handler)(std::uint32_t control));
// Hands a status record to the service manager. True on success. It always returns: the
// stopped report is the service's last word, and the process ends when the dispatcher has
// returned (see PlatformRunServiceDispatcher).
bool PlatformReportServiceStatus(PlatformStatusHandle* handle, const ServiceStatusRecord& status);
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
// systemd is to see, from the stopped report: 0 for exit code 0, else the service-specific
// code after 1066 or the exit code, 1 when that is 0 or above 255). False at once, with the
// last error set, when the process was not started by the service manager.
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
bool PlatformStopService(PlatformService* service, std::uint32_t* state);
bool PlatformServiceState(PlatformService* service, std::uint32_t* state);
// Starts an installed service and, on Linux, waits until it reports running (Windows: the
// service manager's start; it reports its state later). False when the manager refused it.
bool PlatformStartService(PlatformService* service);
bool PlatformDeleteService(PlatformService* service);
void PlatformCloseService(PlatformService* service);

// Service `name` as the service manager has it, asked with a user's rights only: its state
// (kServiceNotInstalled when there is no such service), while it has a process that
// process's id (0 otherwise), the account it runs as, and whether the manager is about to start it
// again after a failure (systemd's "auto-restart"; Windows shows no such thing). False, with the
// last error set, when the manager cannot be asked.
constexpr std::uint32_t kServiceNotInstalled = 0;
struct ServiceQuery {
    std::uint32_t state = kServiceNotInstalled;
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
