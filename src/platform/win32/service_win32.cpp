// Win32 backend of the service-manager port: the service control manager's own calls
// (advapi32).
#include <windows.h>

#include <string>
#include <vector>

#include "platform/service_manager.h"

struct PlatformStatusHandle;  // stands for a SERVICE_STATUS_HANDLE

namespace {

DWORD StateCode(ServiceState state) {
    switch (state) {
        case ServiceState::kStarting:
            return SERVICE_START_PENDING;
        case ServiceState::kStopping:
            return SERVICE_STOP_PENDING;
        case ServiceState::kRunning:
            return SERVICE_RUNNING;
        default:
            return SERVICE_STOPPED;
    }
}

ServiceState StateOf(DWORD code) {
    switch (code) {
        case SERVICE_STOPPED:
            return ServiceState::kStopped;
        case SERVICE_RUNNING:
            return ServiceState::kRunning;
        case SERVICE_STOP_PENDING:
            return ServiceState::kStopping;
        default:  // start pending, and the states of pausing, which this service never enters
            return ServiceState::kStarting;
    }
}

}  // namespace

// The controller always runs in a process of its own; a code of its own goes as the
// service-specific exit code behind ERROR_SERVICE_SPECIFIC_ERROR.
bool PlatformReportServiceStatus(PlatformStatusHandle* handle, const ServiceReport& report) {
    SERVICE_STATUS s;
    s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    s.dwCurrentState = StateCode(report.state);
    s.dwControlsAccepted = report.acceptsStop ? SERVICE_ACCEPT_STOP : 0;
    s.dwWin32ExitCode =
        report.ending == ServiceEnding::kOwnCode ? ERROR_SERVICE_SPECIFIC_ERROR : report.endingCode;
    s.dwServiceSpecificExitCode = report.ending == ServiceEnding::kOwnCode ? report.endingCode : 0;
    s.dwCheckPoint = report.checkPoint;
    s.dwWaitHint = report.waitHintMs;
    return SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(handle), &s) != 0;
}

namespace {

void (*gServiceMain)(int, char**) = nullptr;
void (*gControlHandler)(ServiceControl) = nullptr;

VOID WINAPI ServiceMainTrampoline(DWORD argc, LPSTR* argv) {
    gServiceMain(static_cast<int>(argc), argv);
}

VOID WINAPI ControlHandlerTrampoline(DWORD control) {
    gControlHandler(control == SERVICE_CONTROL_STOP ? ServiceControl::kStop
                                                    : ServiceControl::kOther);
}

}  // namespace

// Windows' service manager has no watchdog and shows no status text of a service.
void PlatformServiceAlive(const char*) {}

std::uint32_t PlatformServiceWatchdogMs() {
    return 0;
}

PlatformStatusHandle* PlatformRegisterServiceHandler(const char* name,
                                                     void (*handler)(ServiceControl control)) {
    gControlHandler = handler;
    return reinterpret_cast<PlatformStatusHandle*>(
        RegisterServiceCtrlHandlerA(name, ControlHandlerTrampoline));
}

bool PlatformRunServiceDispatcher(const char* name, void (*serviceMain)(int argc, char** argv),
                                  int* exitStatus) {
    gServiceMain = serviceMain;
    char serviceName[256];
    lstrcpynA(serviceName, name, sizeof serviceName);
    SERVICE_TABLE_ENTRYA table[] = {{serviceName, ServiceMainTrampoline}, {nullptr, nullptr}};
    *exitStatus = 0;  // the service manager has the service's exit code already
    return StartServiceCtrlDispatcherA(table) != 0;
}

// The handles stand for SC_HANDLEs.
struct PlatformServiceManager;
struct PlatformService;

namespace {

SC_HANDLE Handle(PlatformServiceManager* manager) {
    return reinterpret_cast<SC_HANDLE>(manager);
}
SC_HANDLE Handle(PlatformService* service) {
    return reinterpret_cast<SC_HANDLE>(service);
}
PlatformService* ServiceOf(SC_HANDLE handle) {
    return reinterpret_cast<PlatformService*>(handle);
}

}  // namespace

PlatformServiceManager* PlatformOpenServiceManager() {
    return reinterpret_cast<PlatformServiceManager*>(
        OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
}

void PlatformCloseServiceManager(PlatformServiceManager* manager) {
    if (manager) CloseServiceHandle(Handle(manager));
}

namespace {

SC_HANDLE CreateTheService(SC_HANDLE manager, const char* name, const char* displayName,
                           const char* executablePath) {
    // Quoted: unquoted, a path with blanks (C:\Program Files\...) is tried word by word, and
    // C:\Program.exe would run with the service's rights.
    const std::string quoted = std::string("\"") + executablePath + "\"";
    // Own process, automatic start, normal error control, no group or tag, an empty (present)
    // dependency list, the local system account.
    return CreateServiceA(manager, name, displayName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                          SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, quoted.c_str(), nullptr,
                          nullptr, "\0\0", nullptr, nullptr);
}

}  // namespace

PlatformService* PlatformOpenService(PlatformServiceManager* manager, const char* name) {
    return ServiceOf(OpenServiceA(Handle(manager), name, SERVICE_ALL_ACCESS));
}

bool PlatformStopService(PlatformService* service, ServiceState* state) {
    SERVICE_STATUS status = {};
    const bool ok = ControlService(Handle(service), SERVICE_CONTROL_STOP, &status) != 0;
    *state = StateOf(status.dwCurrentState);
    return ok;
}

bool PlatformServiceState(PlatformService* service, ServiceState* state) {
    SERVICE_STATUS status = {};
    if (!QueryServiceStatus(Handle(service), &status)) return false;
    *state = StateOf(status.dwCurrentState);
    return true;
}

bool PlatformQueryService(const char* name, ServiceQuery* query) {
    *query = ServiceQuery{};
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) return false;
    SC_HANDLE service = OpenServiceA(manager, name, SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG);
    if (service == nullptr && GetLastError() == ERROR_ACCESS_DENIED) {
        service = OpenServiceA(manager, name, SERVICE_QUERY_STATUS);
    }
    DWORD error = GetLastError();
    bool ok = service == nullptr && error == ERROR_SERVICE_DOES_NOT_EXIST;
    if (service != nullptr) {
        // The account, where the asker may read the configuration; LocalSystem is the
        // system's own.
        DWORD size = 0;
        QueryServiceConfigA(service, nullptr, 0, &size);
        std::vector<char> buffer(size ? size : 1);
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
        if (size && QueryServiceConfigA(service, config, size, &size) &&
            config->lpServiceStartName &&
            lstrcmpiA(config->lpServiceStartName, "LocalSystem") != 0) {
            query->account = config->lpServiceStartName;
        }
        SERVICE_STATUS_PROCESS status = {};
        DWORD needed = 0;
        ok = QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                  sizeof status, &needed) != 0;
        error = GetLastError();
        if (ok) {
            query->state = StateOf(status.dwCurrentState);
            query->pid = status.dwProcessId;
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    SetLastError(ok ? 0 : error);
    return ok;
}

namespace {

bool SetRecovery(SC_HANDLE service, const ServiceRegistration& registration,
                 const char** failedSetting) {
    // The last action repeats for every further failure: after the tries' restarts, none.
    std::vector<SC_ACTION> actions(registration.restartTries,
                                   SC_ACTION{SC_ACTION_RESTART, registration.restartDelayMs});
    actions.push_back({SC_ACTION_NONE, 0});
    SERVICE_FAILURE_ACTIONSA failure = {};
    failure.dwResetPeriod = registration.resetSeconds;
    failure.cActions = static_cast<DWORD>(actions.size());
    failure.lpsaActions = actions.data();
    if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure)) {
        *failedSetting = "SERVICE_CONFIG_FAILURE_ACTIONS";
        return false;
    }
    // Without the flag only a crash counts; with it a stop with a non-zero exit code too.
    SERVICE_FAILURE_ACTIONS_FLAG flag = {TRUE};
    if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag)) {
        *failedSetting = "SERVICE_CONFIG_FAILURE_ACTIONS_FLAG";
        return false;
    }
    return true;
}

}  // namespace

PlatformService* PlatformInstallService(PlatformServiceManager* manager,
                                        const ServiceRegistration& registration,
                                        RecoveryFailure* recovery) {
    *recovery = RecoveryFailure{};
    SC_HANDLE service = CreateTheService(Handle(manager), registration.name,
                                         registration.displayName, registration.executablePath);
    const char* setting = nullptr;
    if (service && !SetRecovery(service, registration, &setting)) {
        recovery->setting = setting;
        recovery->error = GetLastError();
    }
    return ServiceOf(service);
}

bool PlatformDeleteService(PlatformService* service) {
    return DeleteService(Handle(service)) != 0;
}

void PlatformCloseService(PlatformService* service) {
    if (service) CloseServiceHandle(Handle(service));
}

bool PlatformStartService(PlatformService* handle) {
    SC_HANDLE service = Handle(handle);
    // Right after another process created the service the manager may still hold its
    // database (ERROR_SERVICE_DATABASE_LOCKED, which StartService documents as passing) or not
    // yet know the service to this handle's reader: a few seconds are given to that.
    constexpr int kTries = 50;
    constexpr DWORD kRetryMs = 200;
    for (int i = 0;; ++i) {
        if (StartServiceA(service, 0, nullptr)) return true;
        const DWORD error = GetLastError();
        if (error == ERROR_SERVICE_ALREADY_RUNNING) return true;
        // The manager gave up waiting for the process's first answer (a first start in a
        // fresh Wine prefix can take that long): it may well be running a moment later.
        if (error == ERROR_SERVICE_REQUEST_TIMEOUT) {
            SERVICE_STATUS status = {};
            for (int j = 0; j < kTries; ++j) {
                if (QueryServiceStatus(service, &status) &&
                    status.dwCurrentState == SERVICE_RUNNING) {
                    return true;
                }
                Sleep(kRetryMs);
            }
            SetLastError(error);
            return false;
        }
        if (i + 1 >= kTries ||
            (error != ERROR_SERVICE_DATABASE_LOCKED && error != ERROR_SERVICE_DOES_NOT_EXIST)) {
            return false;
        }
        Sleep(kRetryMs);
    }
}

bool PlatformServicesOf(const char* executablePath, const char* namePrefix,
                        std::vector<std::string>* names) {
    names->clear();
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE);
    if (manager == nullptr) return false;
    std::vector<BYTE> buffer(1 << 16);
    DWORD needed = 0, count = 0, resume = 0;
    BOOL more = TRUE;
    while (more) {
        more = FALSE;
        if (!EnumServicesStatusA(manager, SERVICE_WIN32, SERVICE_STATE_ALL,
                                 reinterpret_cast<LPENUM_SERVICE_STATUSA>(buffer.data()),
                                 static_cast<DWORD>(buffer.size()), &needed, &count, &resume)) {
            if (GetLastError() != ERROR_MORE_DATA) break;
            more = TRUE;
        }
        const auto* entries = reinterpret_cast<const ENUM_SERVICE_STATUSA*>(buffer.data());
        for (DWORD i = 0; i < count; ++i) {
            const std::string name = entries[i].lpServiceName;
            if (name.rfind(namePrefix, 0) != 0) continue;
            SC_HANDLE service = OpenServiceA(manager, name.c_str(), SERVICE_QUERY_CONFIG);
            if (service == nullptr) continue;
            DWORD size = 0;
            QueryServiceConfigA(service, nullptr, 0, &size);
            std::vector<BYTE> config(size > 0 ? size : 1);
            const auto* c = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(config.data());
            if (QueryServiceConfigA(service,
                                    reinterpret_cast<QUERY_SERVICE_CONFIGA*>(config.data()), size,
                                    &size) &&
                c->lpBinaryPathName &&
                lstrcmpiA(c->lpBinaryPathName,
                          ("\"" + std::string(executablePath) + "\"").c_str()) == 0) {
                names->push_back(name);
            }
            CloseServiceHandle(service);
        }
    }
    CloseServiceHandle(manager);
    return true;
}
