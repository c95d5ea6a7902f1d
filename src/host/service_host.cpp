// The service side: service main, control handler, installation and removal.
#include "host/service_host.h"

#include <cstdio>
#include <string>

#include "platform/event_log.h"
#include "platform/files.h"
#include "platform/service_manager.h"
#include "platform/system.h"
#include "service/service_identity.h"
#include "service/status_report.h"
#include "supervision/controller.h"

namespace {

constexpr int kExecutablePathBytes = 512;
constexpr std::uint32_t kRemovePollMs = 1000;
// The service manager restarts a failed controller (a crash, a frozen loop its own watch
// ended, a start-up that failed) after 2 s: with QVLADOPT=1 a restart leaves the job starter
// running, so it may come soon, and an instance is back within 5 s of a crash. A controller
// that fails at every start is restarted 5 times, then left stopped (the manager says so:
// systemd's "Start request repeated too quickly", Windows' event 7031 without an action);
// the count starts again after 10 minutes without a failure.
constexpr std::uint32_t kRecoveryDelayMs = 2000;
constexpr std::uint32_t kRecoveryTries = 5;
constexpr std::uint32_t kRecoveryResetSeconds = 600;
// The service manager's watchdog (systemd's): the supervision loop says it makes progress at
// least every 10 s (its state's refresh); after 25 s without, the controller is stopped or
// stuck (its own watch, at 20 s, acts first and reports where), and it is ended and started
// again like a crashed one: back within 30 s of a freeze.
constexpr std::uint32_t kWatchdogSeconds = 25;

// Prints a failure message with the text of error `code` (by default, the one the failing
// call left).
void PrintFailure(const char* format, std::uint32_t code = PlatformLastError()) {
    char error[kErrorTextBytes];
    FormatError(code, error, sizeof error);
    std::printf(format, error);
    std::fflush(stdout);
}

// Stop: report stop pending, with a wait hint that covers the stop in any phase, and signal
// the stop. Anything else: re-report the current state.
void ServiceControlHandler(ServiceControl control) {
    if (control == ServiceControl::kStop) {
        ReportStatusToSCMgr(kServiceStopPending, 0, kStopWaitHintMs);
        SignalStop();
        return;
    }
    ReportStatusToSCMgr(CurrentServiceStatus().currentState, 0, 0);  // answers an interrogation
}

}  // namespace

void ControllerServiceMain(int argc, char** argv) {
    gStatusHandle =
        PlatformRegisterServiceHandler(gServiceIdentity.serviceName, ServiceControlHandler);
    if (gStatusHandle == nullptr) return;
    SetServiceStatusIdentity(kServiceWin32OwnProcess, 0);
    int outcome = kRunNotStarted;
    if (ReportStatusToSCMgr(kServiceStartPending, 0, kStartWaitHintMs)) {
        outcome = RunController(argc, argv);
    }
    std::uint32_t exitCode = gLastErrorCode;
    if (outcome != kRunStopped) {
        // A run that did not end by a stop request is never reported as success: a failed
        // start-up step's platform error, or else 1066 with the outcome (the configuration
        // result, a failed wait, no run) as the service-specific code.
        const RunFailure& failure = LastRunFailure();
        ReportErrorEvent(outcome == kRunNotStarted ? "Error ReportStatusToSCMgr\n" : failure.text,
                         failure.error);
        const bool useError = outcome == kRunStartFailed && failure.error != 0;
        exitCode = useError ? failure.error : kErrorServiceSpecific;
        SetServiceStatusIdentity(kServiceWin32OwnProcess, exitCode == kErrorServiceSpecific
                                                              ? static_cast<std::uint32_t>(outcome)
                                                              : 0);
    } else {
        exitCode = 0;  // a run ended by a stop request
    }
    ReportStatusToSCMgr(kServiceStopped, exitCode, 0);
}

bool InstallService() {
    char path[kExecutablePathBytes];
    if (!PlatformExecutablePath(path, sizeof path)) {
        char error[kErrorTextBytes];
        FormatError(PlatformLastError(), error, sizeof error);
        std::printf("Unable to install %s - %s\n", gServiceIdentity.displayName, error);
        return false;
    }
    PlatformServiceManager* manager = PlatformOpenServiceManager();
    if (!manager) {
        PrintFailure("OpenSCManager failed - %s\n");
        return false;
    }
    const ServiceRegistration registration = {gServiceIdentity.serviceName,
                                              gServiceIdentity.displayName,
                                              path,
                                              kRecoveryDelayMs,
                                              kRecoveryTries,
                                              kRecoveryResetSeconds,
                                              kWatchdogSeconds};
    RecoveryFailure recovery;
    PlatformService* service = PlatformInstallService(manager, registration, &recovery);
    if (!service) {
        PrintFailure("CreateService failed - %s\n");
        PlatformCloseServiceManager(manager);
        return false;
    }
    // The event viewer finds the texts of the controller's events in the executable; a
    // registration that fails undoes the installation.
    if (!PlatformRegisterEventSource(gServiceIdentity.serviceName, path)) {
        PrintFailure("RegCreateKeyEx failed - %s\n");
        PlatformDeleteService(service);
        PlatformCloseService(service);
        PlatformCloseServiceManager(manager);
        return false;
    }
    std::printf("%s installed.\n", gServiceIdentity.displayName);
    // Recovery is wanted, not needed: the service stays installed without it.
    if (recovery.setting) {
        PrintFailure(
            ("ChangeServiceConfig2(" + std::string(recovery.setting) + ") failed - %s\n").c_str(),
            recovery.error);
    }
    std::fflush(stdout);
    PlatformCloseService(service);
    PlatformCloseServiceManager(manager);
    return true;
}

bool RemoveService() {
    PlatformServiceManager* manager = PlatformOpenServiceManager();
    if (!manager) {
        PrintFailure("OpenSCManager failed - %s\n");
        return false;
    }
    PlatformService* service = PlatformOpenService(manager, gServiceIdentity.serviceName);
    if (!service) {
        PrintFailure("OpenService failed - %s\n");
        PlatformCloseServiceManager(manager);
        return false;
    }
    bool ok = true;
    ServiceState state = ServiceState::kRunning;
    if (PlatformStopService(service, &state)) {
        std::printf("Stopping %s.", gServiceIdentity.displayName);
        std::fflush(stdout);
        PlatformSleep(kRemovePollMs);
        while (PlatformServiceState(service, &state) && state == ServiceState::kStopping) {
            std::printf(".");
            std::fflush(stdout);
            PlatformSleep(kRemovePollMs);
        }
        ok = state == ServiceState::kStopped;
        std::printf(ok ? "\n%s stopped.\n" : "\n%s failed to stop.\n",
                    gServiceIdentity.displayName);
    }
    if (PlatformDeleteService(service)) {
        std::printf("%s removed.\n", gServiceIdentity.displayName);
        if (!PlatformDeregisterEventSource(gServiceIdentity.serviceName)) {
            PrintFailure("RegDeleteKey failed - %s\n");
            ok = false;
        }
    } else {
        PrintFailure("DeleteService failed - %s\n");
        ok = false;
    }
    std::fflush(stdout);
    PlatformCloseService(service);
    PlatformCloseServiceManager(manager);
    return ok;
}
