// Helpers shared by the test executables: real child processes with captured output,
// scratch directories, whole-file reads and writes, and where the built executables are.
#pragma once

#include "platform/pipe_client.h"
#include "platform/service_manager.h"
#include <cstdint>
#include <string>
#include <vector>

struct ProcessResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs argv[0] (a path) with the given arguments, feeds `input` to its standard input and
// waits for it to end. Output is captured byte for byte (no text-mode translation here).
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& input = "");

// A child started without waiting for it; its output goes where the test's own goes.
struct ChildProcess;
ChildProcess* StartProcess(const std::vector<std::string>& argv);
// The same with standard output and error sent to `outputFile`.
ChildProcess* StartProcessWithOutput(const std::vector<std::string>& argv,
                                     const std::string& outputFile);
// True where a test can press Ctrl+C for a console run (Linux: SIGINT). Inside Wine a test
// program has no way to send Ctrl+C to another console program.
bool CanPressCtrlC();
void TerminateChild(ChildProcess* child);
// The child's process id (fiu-run, for one, becomes the program it runs).
std::uint32_t ChildProcessId(ChildProcess* child);
// Waits for the child to end and frees it; returns its exit status.
int WaitProcess(ChildProcess* child);

// Presses Ctrl+C for a child started with StartProcess: SIGINT on Linux; on Windows the
// stop file that the test controller watches (it then calls its console handler).
void RequestStop(ChildProcess* child, const std::string& stopFile);
// A client that connects to a pipe and neither writes nor closes until released. It waits
// at most a second for a busy pipe or a full queue: it is then not connected.
struct PlatformPipeClient;
class HeldConnection {
public:
    explicit HeldConnection(const std::string& pipeName);
    ~HeldConnection() { Release(); }
    HeldConnection(const HeldConnection&) = delete;
    HeldConnection& operator=(const HeldConnection&) = delete;
    bool connected() const { return client_ != nullptr; }
    // Sends one message (and then reads nothing until asked to).
    bool Send(const std::string& message);
    // Reads what the server sends before it disconnects; empty when nothing came.
    std::string ReadAll(int timeoutMs);
    void Release();

private:
    PlatformPipeClient* client_ = nullptr;
};

// True where the processes and pipe names this test sees are the test's own: under Wine a
// prefix of the tests' own; on Linux PID and network namespaces made for the suite
// (tests/support/isolate.sh). Elsewhere ending processes by name or taking the controller's
// pipe names could hit a controller in use on the machine; `why` then says so.
bool IsolatedFromMachine(std::string* why);
// For the cases that end processes by name or take the controller's pipe names.
#define SKIP_UNLESS_ISOLATED()                                                         \
    do {                                                                               \
        std::string why_not_isolated;                                                  \
        if (!IsolatedFromMachine(&why_not_isolated)) GTEST_SKIP() << why_not_isolated; \
    } while (0)

// The platform's service manager, where the tests may use one: Windows' (Wine's, in a
// prefix of the tests' own), or systemd only inside the namespace that boots it for them,
// never a machine's own systemd.
bool HasServiceManager();
// True where a service manager runs at all, used by the tests or not (Linux: systemd runs
// this machine or this namespace).
bool ServiceManagerRuns();
bool StartInstalledService(const std::string& name);
// Makes service `name` run under an account other than the system's, as the guide tells an
// operator, and gives that account's name as the service manager then names it: Linux, a
// drop-in with User=nobody (and `environment`, "KEY=VALUE" lines, for the job starter);
// Windows, the service's account set to the one the tests run as (Wine has no other).
std::string RunServiceUnderAccount(const std::string& name, const std::string& environment);
// Whether the system can judge another account's rights on a folder (Linux: always; Windows:
// its authorization API works, which Wine's does not), so that a test knows which answer of
// -check is the honest one.
bool SystemJudgesAccountRights();
// The service manager's own stop request (systemctl stop; the stop control on Windows).
bool StopInstalledService(const std::string& name);
// Runs `argv` without an administrator's rights (Linux: as root it switches to the user
// nobody). False where the tests cannot do that (Windows under Wine: everyone is one).
bool RunWithoutAdministratorRights(const std::vector<std::string>& argv, ProcessResult* result);
// True where the tests run as the system's administrator (Linux: root).
bool IsRoot();
// Sets an environment variable of this process, which the processes it starts inherit; an
// empty value removes it.
void SetEnvironment(const std::string& name, const std::string& value);
// `argv` to be run as another, unprivileged account: Linux, as root, the user nobody through
// setpriv; unchanged elsewhere.
std::vector<std::string> AsNobody(const std::vector<std::string>& argv);
// How the service manager shows an installed service.
struct InstalledService {
    unsigned state = 0;         // Windows' numbering: 1 stopped, 2 starting, 3 stopping, 4 running
    unsigned exitCode = 0;      // Windows: the Win32 exit code; systemd: the exit status
    unsigned specificCode = 0;  // Windows: the service-specific exit code; systemd: 0
    bool failed = false;        // ended with a failure (Windows: a non-zero exit code)
    bool startsAtBoot = false;  // automatic start, or enabled for multi-user.target
    std::string statusText;     // systemd's STATUS= text; empty on Windows
    std::string command;        // Windows: the registered command line; empty on Linux
    bool restartsAfterFailure = false;  // Windows: failure actions that restart, with their
                                        // flag; systemd: Restart=on-failure
    unsigned pid = 0;                   // the service's process while it has one
};
// False when the service is not installed or the manager cannot be asked.
bool QueryInstalledService(const std::string& name, InstalledService* service);
// Makes the service manager's restart after a failure come after a second instead of the
// product's minute, for this test's service only (systemd: a drop-in beside the unit, which
// `undo` deletes). False where the manager does not restart services (Wine's).
bool ShortenRestartDelay(const std::string& name, bool undo = false);
// The event source's registration as the event viewer reads it (Windows: the message file
// named in the registry). False where it has none (Linux: syslog needs none).
bool EventSourceMessageFile(const std::string& source, std::string* file);
// Message `id` of `module`'s message table with `inserts` as its insertion strings, as the
// event viewer shows it (Windows: FormatMessageA from the module); empty where there is none.
std::string ModuleMessageText(const std::string& module, unsigned id,
                              const std::vector<std::string>& inserts);
// True where the service manager is systemd (Linux), false for Windows' (Wine's). Where
// they differ: systemd shows a failed start-up's result as the exit status, not as 1066
// with a service-specific code; it has status texts; it sends its stop even to a starting
// service.
extern const bool kSystemd;
// The error codes that the install and remove messages show for a service that exists
// already and for one that is not installed ("0x431" and "0x424" on Windows).
extern const char* const kServiceExistsCode;
extern const char* const kServiceMissingCode;
// The code shown for a refused access ("0x5" on Windows).
extern const char* const kAccessDeniedCode;

// The directory holding the running test executable (and every other built executable).
std::string BinDir();
// Path of a built executable by its base name: "qvlcrypt" -> bin/qvlcrypt[.exe],
// "KILL" -> bin/KILL[.EXE].
std::string BuiltExecutable(const std::string& baseName);
// File name of an executable as the platform spells it ("QVLJOBSTR_ORACLE" ->
// "QVLJOBSTR_ORACLE.EXE" on Windows, unchanged on Linux).
std::string ExecutableFileName(const std::string& baseName);

// The job starter stand-in built at the other width than this build's (64-bit beside the
// 32-bit build, 32-bit beside the 64-bit one), when it was built and this Wine runs it; else
// "" and `why` says why not (always on Linux).
std::string OtherWidthJobStarter(std::string* why);
// Linux: the running processes whose executable is the file at `path` (another PID namespace's
// too); empty elsewhere.
std::vector<std::uint32_t> ProcessesOf(const std::string& path);

std::string ReadFileBytes(const std::string& path);
bool MakeDirectory(const std::string& path);
void RemoveAll(const std::string& path);
// The number of entries of a folder (0 when it cannot be listed).
int CountEntries(const std::string& dir);
void WriteFileBytes(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);
std::string JoinPath(const std::string& dir, const std::string& name);
std::string CurrentDirectory();
bool CopyFileTo(const std::string& from, const std::string& to);

// Keeps the next move of `logPath` to `rotationPath` from succeeding until released: on
// Windows a second handle on the log without delete sharing, on Linux a non-empty directory
// at the rotation path.
class RenameBlocker {
public:
    RenameBlocker(const std::string& logPath, const std::string& rotationPath);
    ~RenameBlocker() { Release(); }
    void Release();

private:
    std::string logPath_, rotationPath_;
    void* handle_ = nullptr;
    bool active_ = false;
};

// A fresh directory under the system's temporary folder, removed with its content at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return JoinPath(path_, name); }

private:
    std::string path_;
};
