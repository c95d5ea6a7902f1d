// Windows side of the test helpers: CreateProcessA with anonymous pipes, drained by one
// thread per output so that a chatty child never blocks on a full pipe.
#include "platform/processes.h"
#include "platform/service_manager.h"
#include "support/test_support.h"

#include <windows.h>
#include <authz.h>

#include <cctype>
#include <filesystem>
#include <thread>
#include <vector>

namespace {

// Quotes one argument by the C runtime's rules, so the child's argv sees it unchanged.
std::string QuoteArgument(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
    std::string q = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            q.append(backslashes * 2 + 1, '\\');
        } else {
            q.append(backslashes, '\\');
        }
        backslashes = 0;
        q += c;
    }
    q.append(backslashes * 2, '\\');
    return q + "\"";
}

void Drain(HANDLE h, std::string* sink) {
    char buf[4096];
    DWORD n = 0;
    while (ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0)
        sink->append(buf, n);
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& input) {
    ProcessResult result;
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE inRead, inWrite, outRead, outWrite, errRead, errWrite;
    if (!CreatePipe(&inRead, &inWrite, &sa, 0) || !CreatePipe(&outRead, &outWrite, &sa, 0) ||
        !CreatePipe(&errRead, &errWrite, &sa, 0)) {
        return result;
    }
    SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
    std::string cmd;
    for (const auto& a : argv)
        cmd += (cmd.empty() ? "" : " ") + QuoteArgument(a);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = inRead;
    si.hStdOutput = outWrite;
    si.hStdError = errWrite;
    PROCESS_INFORMATION pi = {};
    // Wine under load now and then fails a start for a moment: tried again before it counts.
    constexpr int kStartTries = 3;
    BOOL ok = FALSE;
    DWORD error = 0;
    for (int tries = 0; !ok && tries < kStartTries; ++tries) {
        if (tries > 0) Sleep(200);
        ok = CreateProcessA(argv[0].c_str(), &cmd[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                            &si, &pi);
        error = ok ? 0 : GetLastError();
    }
    CloseHandle(inRead);
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    if (!ok) {
        CloseHandle(inWrite);
        CloseHandle(outRead);
        CloseHandle(errRead);
        result.err = "CreateProcess failed: " + std::to_string(error);
        return result;
    }
    std::thread outThread(Drain, outRead, &result.out);
    std::thread errThread(Drain, errRead, &result.err);
    DWORD written = 0;
    if (!input.empty()) WriteFile(inWrite, input.data(), DWORD(input.size()), &written, nullptr);
    CloseHandle(inWrite);
    WaitForSingleObject(pi.hProcess, INFINITE);
    outThread.join();
    errThread.join();
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    result.exitCode = static_cast<int>(code);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    CloseHandle(outRead);
    CloseHandle(errRead);
    return result;
}

struct ChildProcess {
    HANDLE process;
};

ChildProcess* StartProcessWithOutput(const std::vector<std::string>& argv,
                                     const std::string& outputFile) {
    std::string cmd;
    for (const auto& a : argv)
        cmd += (cmd.empty() ? "" : " ") + QuoteArgument(a);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    HANDLE out = INVALID_HANDLE_VALUE;
    if (!outputFile.empty()) {
        SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
        out = CreateFileA(outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          &sa, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        si.hStdOutput = out;
        si.hStdError = out;
    }
    PROCESS_INFORMATION pi = {};
    const BOOL ok = CreateProcessA(argv[0].c_str(), &cmd[0], nullptr, nullptr,
                                   out != INVALID_HANDLE_VALUE, 0, nullptr, nullptr, &si, &pi);
    if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
    if (!ok) return nullptr;
    CloseHandle(pi.hThread);
    return new ChildProcess{pi.hProcess};
}

ChildProcess* StartProcess(const std::vector<std::string>& argv) {
    return StartProcessWithOutput(argv, "");
}

bool CanPressCtrlC() {
    return false;
}

// Wine's processes and pipes belong to its prefix, and the tests always run in one of
// their own (cmake/wine-run.sh).
bool IsolatedFromMachine(std::string*) {
    return true;
}

std::uint32_t ChildProcessId(ChildProcess* child) {
    return GetProcessId(child->process);
}

void TerminateChild(ChildProcess* child) {
    TerminateProcess(child->process, 1);
}

int WaitProcess(ChildProcess* child) {
    if (!child) return -1;
    WaitForSingleObject(child->process, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(child->process, &code);
    CloseHandle(child->process);
    delete child;
    return static_cast<int>(code);
}

void RequestStop(ChildProcess*, const std::string& stopFile) {
    WriteFileBytes(stopFile, "stop");
}

RenameBlocker::RenameBlocker(const std::string& logPath, const std::string& rotationPath)
    : logPath_(logPath), rotationPath_(rotationPath), active_(true) {
    // Reading and writing are shared, deleting (and so moving) is not.
    handle_ = CreateFileA(logPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

void RenameBlocker::Release() {
    if (!active_) return;
    if (handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr) CloseHandle(handle_);
    active_ = false;
}

std::string OtherWidthJobStarter(std::string* why) {
    const char* other = sizeof(void*) == 4 ? "64-bit" : "32-bit";
    const std::string helper = JoinPath(BinDir(), "job_starter_other.exe");
    if (!FileExists(helper)) {
        *why = std::string("no MinGW compiler built the ") + other + " job starter";
        return "";
    }
    // Whether this Wine runs it: a Wine without its 32-bit loader cannot start it.
    static int runs = -1;
    if (runs < 0) {
        std::uint32_t pid = 0;
        std::uint64_t created = 0;
        runs = PlatformLaunch(("\"" + helper + "\"").c_str(), &pid, &created) ? 1 : 0;
        if (runs) PlatformTerminateProcess(pid);
    }
    if (!runs) {
        *why = std::string("this Wine cannot run ") + other + " programs";
        return "";
    }
    return helper;
}

std::string BinDir() {
    char buf[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
    std::string path(buf, n);
    return path.substr(0, path.find_last_of("\\/"));
}

std::string ExecutableFileName(const std::string& baseName) {
    bool upper = !baseName.empty() && std::isupper(static_cast<unsigned char>(baseName[0]));
    return baseName + (upper ? ".EXE" : ".exe");
}

std::string BuiltExecutable(const std::string& baseName) {
    return BinDir() + "\\" + ExecutableFileName(baseName);
}

std::string JoinPath(const std::string& dir, const std::string& name) {
    return dir + "\\" + name;
}

std::vector<std::uint32_t> ProcessesOf(const std::string&) {
    return {};
}

std::string CurrentDirectory() {
    char buf[MAX_PATH];
    DWORD n = GetCurrentDirectoryA(sizeof buf, buf);
    return std::string(buf, n);
}

TempDir::TempDir() {
    char base[MAX_PATH];
    GetTempPathA(sizeof base, base);
    for (unsigned i = 0; i < 1000 && path_.empty(); ++i) {
        std::string candidate = std::string(base) + "qvltest." +
                                std::to_string(GetCurrentProcessId()) + "." +
                                std::to_string(GetTickCount() + i);
        if (CreateDirectoryA(candidate.c_str(), nullptr)) path_ = candidate;
    }
}

TempDir::~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

bool HasServiceManager() {
    return true;
}

bool ServiceManagerRuns() {
    return true;
}

bool StartInstalledService(const std::string& name) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) return false;
    SC_HANDLE service = OpenServiceA(manager, name.c_str(), SERVICE_ALL_ACCESS);
    const bool ok = service && StartServiceA(service, 0, nullptr);
    if (service) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return ok;
}

std::string RunServiceUnderAccount(const std::string& name, const std::string&) {
    char user[256];
    DWORD size = sizeof user;
    if (!GetUserNameA(user, &size)) return "";
    const std::string account = std::string(".\\") + user;
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) return "";
    SC_HANDLE service = OpenServiceA(manager, name.c_str(), SERVICE_CHANGE_CONFIG);
    const bool ok = service && ChangeServiceConfigA(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                                    SERVICE_NO_CHANGE, nullptr, nullptr, nullptr,
                                                    nullptr, account.c_str(), "", nullptr);
    if (service) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return ok ? account : "";
}

bool SystemJudgesAccountRights() {
    AUTHZ_RESOURCE_MANAGER_HANDLE manager = nullptr;
    if (!AuthzInitializeResourceManager(AUTHZ_RM_FLAG_NO_AUDIT, nullptr, nullptr, nullptr, nullptr,
                                        &manager)) {
        return false;
    }
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    AUTHZ_CLIENT_CONTEXT_HANDLE context = nullptr;
    const LUID none = {0, 0};
    const bool judges =
        CreateWellKnownSid(WinLocalServiceSid, nullptr, sid, &size) &&
        AuthzInitializeContextFromSid(0, sid, manager, nullptr, none, nullptr, &context);
    if (context) AuthzFreeContext(context);
    AuthzFreeResourceManager(manager);
    return judges;
}

bool StopInstalledService(const std::string& name) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) return false;
    SC_HANDLE service = OpenServiceA(manager, name.c_str(), SERVICE_ALL_ACCESS);
    SERVICE_STATUS status = {};
    const bool ok = service && ControlService(service, SERVICE_CONTROL_STOP, &status);
    if (service) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return ok;
}

namespace {

// Failure actions that restart the service, and the flag that counts a stop with a non-zero
// exit code as a failure too.
bool RestartsAfterFailure(SC_HANDLE service) {
    DWORD needed = 0;
    QueryServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed ? needed : 1);
    auto* actions = reinterpret_cast<SERVICE_FAILURE_ACTIONSA*>(buffer.data());
    if (!QueryServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, buffer.data(), needed,
                              &needed) ||
        actions->cActions == 0 || actions->lpsaActions[0].Type != SC_ACTION_RESTART) {
        return false;
    }
    SERVICE_FAILURE_ACTIONS_FLAG flag = {};
    return QueryServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG,
                                reinterpret_cast<BYTE*>(&flag), sizeof flag, &needed) &&
           flag.fFailureActionsOnNonCrashFailures;
}

}  // namespace

bool ShortenRestartDelay(const std::string&, bool) {
    return false;
}

bool EventSourceMessageFile(const std::string& source, std::string* file) {
    const std::string key = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + source;
    char value[MAX_PATH * 2] = "";
    DWORD size = sizeof value;
    if (RegGetValueA(HKEY_LOCAL_MACHINE, key.c_str(), "EventMessageFile",
                     RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, value, &size) != ERROR_SUCCESS) {
        return false;
    }
    *file = value;
    return true;
}

std::string ModuleMessageText(const std::string& module, unsigned id,
                              const std::vector<std::string>& inserts) {
    HMODULE h = LoadLibraryExA(module.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!h) return "";
    std::vector<char*> strings;
    for (const std::string& insert : inserts)
        strings.push_back(const_cast<char*>(insert.c_str()));
    strings.push_back(nullptr);
    char text[1024] = "";
    const DWORD n =
        FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, h, id, 0, text,
                       sizeof text, reinterpret_cast<va_list*>(strings.data()));
    FreeLibrary(h);
    return std::string(text, n);
}

bool QueryInstalledService(const std::string& name, InstalledService* out) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) return false;
    SC_HANDLE service =
        OpenServiceA(manager, name.c_str(), SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG);
    SERVICE_STATUS status = {};
    bool ok = service && QueryServiceStatus(service, &status);
    if (ok) {
        out->state = status.dwCurrentState;
        out->exitCode = status.dwWin32ExitCode;
        out->specificCode = status.dwServiceSpecificExitCode;
        out->failed = status.dwWin32ExitCode != 0;
        DWORD needed = 0;
        QueryServiceConfigA(service, nullptr, 0, &needed);
        std::vector<char> buffer(needed ? needed : 1);
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
        ok = QueryServiceConfigA(service, config, needed, &needed) != 0;
        out->startsAtBoot = ok && config->dwStartType == SERVICE_AUTO_START;
        if (ok && config->lpBinaryPathName) out->command = config->lpBinaryPathName;
        out->restartsAfterFailure = RestartsAfterFailure(service);
        SERVICE_STATUS_PROCESS process = {};
        if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&process),
                                 sizeof process, &needed)) {
            out->pid = process.dwProcessId;
        }
    }
    if (service) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return ok;
}

void SetEnvironment(const std::string& name, const std::string& value) {
    _putenv_s(name.c_str(), value.c_str());  // the runtime's copy and the process's both
}

bool IsRoot() {
    return false;
}

std::vector<std::string> AsNobody(const std::vector<std::string>& argv) {
    return argv;
}

bool RunWithoutAdministratorRights(const std::vector<std::string>&, ProcessResult*) {
    return false;
}

const bool kSystemd = false;
const char* const kServiceExistsCode = "0x431";   // ERROR_SERVICE_EXISTS
const char* const kAccessDeniedCode = "0x5";      // ERROR_ACCESS_DENIED
const char* const kServiceMissingCode = "0x424";  // ERROR_SERVICE_DOES_NOT_EXIST
